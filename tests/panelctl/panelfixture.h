#pragma once

// A panelctl window on a bus of simulated screens, for tests that drive the
// window as a person would.
#include "mainwindow.h"
#include "preview.h"
#include "screen.h"
#include "screensession.h"
#include "upgrade.h"
#include "usb/virtualbus.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QStatusBar>
#include <QTest>
#include <QThread>

#include <functional>
#include <memory>
#include <vector>

class PanelFixture {
public:
    PanelFixture() : bus(std::make_unique<sim::VirtualBus>()) {}

    void newWindow()
    {
        window.reset();
        window = std::make_unique<MainWindow>();
        listings = 0;
        QObject::connect(&window->session(), &session::ScreenSession::scanned, [this] { ++listings; });
        pictures = 0;
        QObject::connect(&window->session(), &session::ScreenSession::pictureShown, [this] { ++pictures; });
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    // Unplugs every screen this fixture attached and closes the window.
    void clear()
    {
        window.reset();
        for (int slot : slots_)
            bus->unplug(slot);
        slots_.clear();
    }

    int attach(const char *preset, int busNumber, std::function<void(sim::ScreenModel &)> tweak = {})
    {
        auto model = std::make_shared<sim::ScreenModel>(*sim::findPreset(preset), uint32_t(0x100 + nextPort));
        if (tweak)
            tweak(*model);
        const int slot = bus->attach(model, busNumber, nextPort++);
        slots_.push_back(slot);
        return slot;
    }

    session::ScreenSession &session() const { return window->session(); }
    // The open screen, none when nothing is open.
    std::shared_ptr<screenlink::Screen> screen() const
    {
        const auto &open = window->session().current();
        return open ? open->link() : nullptr;
    }

    // Each value the window's progress bar takes during an upgrade, then 100
    // for one that ended done and -1 for one that did not.
    void recordUpgrade(QObject *context, const std::function<void(int)> &value)
    {
        session::ScreenSession *s = &session();
        QObject::connect(s, &session::ScreenSession::upgradeProgress, context,
                         [s, value](const session::UpgradeProgress &p) {
                             const int v = session::dialogValue(s->upgradePath(), p);
                             if (v >= 0)
                                 value(v);
                         });
        QObject::connect(s, &session::ScreenSession::upgradeEnded, context,
                         [value](const session::UpgradeResult &r) { value(r.done() ? 100 : -1); });
    }

    // Runs `action` and waits until the picture it asked for came back from
    // the screen's thread: sent, and in the preview.
    bool pictureAfter(const std::function<void()> &action, int ms = 5000)
    {
        const int before = pictures;
        action();
        return QTest::qWaitFor([&] { return pictures > before && !session().framesPending(); }, ms);
    }

    // Scans until `pred` holds, as the window's own timer would, only faster.
    bool scanUntil(const std::function<bool()> &pred, int ms = 5000)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            session().scan();
            QTest::qWait(30);
            if (pred())
                return true;
        }
        return false;
    }

    // One scan asked for and a list come in after it. A scan of the window's
    // own timer may be the one that ends first; the one asked for then
    // follows it at once.
    bool scanOnce(int ms = 5000)
    {
        const int before = listings;
        session().scan();
        return QTest::qWaitFor([&] { return listings > before; }, ms);
    }

    // Waits until the window's scans have brought in `n` lists since it
    // opened (the first one runs as soon as it shows).
    bool listedAtLeast(int n, int ms = 5000)
    {
        return QTest::qWaitFor([&] { return listings >= n; }, ms);
    }

    // Waits for `pred` on the bus's threads without handling events: the
    // window cannot scan meanwhile, so it does not see what happens.
    static bool holdUntil(const std::function<bool()> &pred, int ms = 10000)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            if (pred())
                return true;
            QThread::msleep(5);
        }
        return false;
    }

    // At most `scans` scans, as the window's timer would run them, each
    // given the time it takes.
    bool withinScans(int scans, const std::function<bool()> &pred)
    {
        for (int i = 0; i < scans; ++i) {
            session().scan();
            QElapsedTimer t;
            t.start();
            while (t.elapsed() < 1000) {
                QTest::qWait(20);
                if (pred())
                    return true;
            }
        }
        return false;
    }

    // Attaches one screen and waits until the window has it open.
    std::shared_ptr<sim::ScreenModel> open(const char *preset, int busNumber,
                                           std::function<void(sim::ScreenModel &)> tweak = {})
    {
        const int slot = attach(preset, busNumber, std::move(tweak));
        if (!scanUntil([&] { return screen() != nullptr; }))
            return nullptr;
        return bus->model(slot);
    }

    // Clicks Upgrade and waits until the upgrade has ended with its final
    // progress value in `progress`; returns it, -1000 when none came.
    int runUpgrade(const QList<int> &progress, int ms = 60000)
    {
        child<QAbstractButton>("pbUpgrade")->click();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            if (!progress.isEmpty() && (progress.last() == 100 || progress.last() < 0)
                && !session().upgradeRunning())
                return progress.last();
            QTest::qWait(20);
        }
        return -1000;
    }

    QComboBox *list() const { return window->findChild<QComboBox *>(QStringLiteral("mbScreenList")); }
    QString status() const { return window->statusBar()->currentMessage(); }
    bool lampGreen() const
    {
        return window->findChild<QLabel *>(QStringLiteral("lbStatusLED"))->styleSheet().contains("green");
    }
    Preview *display() const { return window->findChild<Preview *>(QStringLiteral("mainDisplay")); }
    template <typename W = QWidget>
    W *child(const char *name) const
    {
        return window->findChild<W *>(QLatin1String(name));
    }

    std::unique_ptr<sim::VirtualBus> bus;
    std::unique_ptr<MainWindow> window;
    std::vector<int> slots_;
    int nextPort = 1;
    // Scans the window's session has applied since the window opened.
    int listings = 0;
    // Pictures the window's session has shown since the window opened.
    int pictures = 0;
};
