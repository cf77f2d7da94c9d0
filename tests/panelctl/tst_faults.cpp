// A screen that is unplugged, goes silent or starts to lie in the middle of
// each of panelctl's operations. Afterwards the window still answers, shows
// the right state, has no worker left running and has lost nothing: the
// firmware file is unchanged and a failed upgrade is reported as failed.
// Runs under umockdev-wrapper.
#include "boxrecorder.h"
#include "panelfixture.h"
#include "testimages.h"

#include <QCryptographicHash>
#include <QDir>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <thread>

using namespace sim;
using testimages::Bytes;

namespace {

enum class Fault { Unplug, Silent, Lying };

// Which request starts the fault. Runs under the model's lock.
using Trigger = std::function<bool(const Setup &, const uint8_t *out, size_t length)>;

bool screenCommand(const Setup &s, const uint8_t *out, size_t n, uint8_t command)
{
    return s.request == 0xB0 && n >= 2 && out[1] == command;
}

bool configBridge(const Setup &s, const uint8_t *out, size_t n, uint8_t op)
{
    return s.request == 0xB5 && n >= 2 && out[0] == 0x51 && out[1] == op;
}

QByteArray fileHash(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}

bool writeFile(const QString &path, const Bytes &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly)
           && f.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size())) == qint64(bytes.size());
}



} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void faultInTheMiddle_data();
    void faultInTheMiddle();
    void screenLeavingWhileIdentifiedKeepsItsModel();

private:
    // Arms `trigger` on the screen in `slot`: from the first request it
    // matches, the screen is unplugged (that request never completes before),
    // silent, or answers short and takes only part of bulk data.
    void arm(int slot, Fault fault, Trigger trigger);
    bool tripped() const { return m_tripped; }
    // A posted event is handled soon: the GUI thread is not stuck.
    bool answers();
    int runUpgrade();

    std::unique_ptr<PanelFixture> m_f;
    QTemporaryDir m_dir;
    BoxRecorder m_boxes;
    QList<int> m_progress;
    std::atomic<bool> m_tripped{false};
    std::thread m_actor;
    QString m_oldDir;
};

void TestFaults::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("bin")));
    m_oldDir = QDir::currentPath();
    QDir::setCurrent(m_dir.path()); // the screen log lands here
    m_f = std::make_unique<PanelFixture>();
    // Upgrade with the model's own file.
    m_boxes.answers.insert(QStringLiteral("NOTIFY"), QMessageBox::Yes);
}

void TestFaults::init()
{
    m_boxes.clear();
    m_progress.clear();
    m_tripped = false;
    m_f->newWindow();
    m_f->window->setProgramDir(m_dir.filePath(QStringLiteral("bin")));
    m_f->recordUpgrade(this, [this](int v) { m_progress << v; });
}

void TestFaults::cleanup()
{
    if (m_actor.joinable())
        m_actor.join();
    if (m_f->window) {
        QTRY_VERIFY_WITH_TIMEOUT(!m_f->session().upgradeRunning(), 60000);
        // Closing never waits long for a worker stuck on a silent screen.
        QElapsedTimer t;
        t.start();
        m_f->window.reset();
        QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
    }
    m_f->clear();
}

void TestFaults::arm(int slot, Fault fault, Trigger trigger)
{
    auto model = m_f->bus->model(slot);
    model->setRequestFilter([this, trigger, fault](const Setup &s, const uint8_t *out, size_t n) {
        if (!m_tripped && trigger(s, out, n))
            m_tripped = true;
        if (m_tripped && fault != Fault::Lying)
            return ScreenModel::FilterAction::Silent;
        return ScreenModel::FilterAction::Pass;
    });
    // The bus and the model are not to be called from inside the filter.
    m_actor = std::thread([this, model, slot, fault] {
        for (int i = 0; i < 30000 && !m_tripped; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!m_tripped)
            return;
        if (fault == Fault::Unplug) {
            m_f->bus->unplug(slot);
        } else if (fault == Fault::Lying) {
            Faults lies;
            lies.shortReply = 1;
            lies.bulkAccept = 100;
            model->setFaults(lies);
        }
    });
}

bool TestFaults::answers()
{
    bool handled = false;
    QTimer::singleShot(0, this, [&handled] { handled = true; });
    QElapsedTimer t;
    t.start();
    while (!handled && t.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return handled;
}

int TestFaults::runUpgrade()
{
    return m_f->runUpgrade(m_progress);
}

void TestFaults::faultInTheMiddle_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("fault");
    const char *operations[] = {"frame",          "flip",           "backlight",        "identification",
                                "led test",       "throughput test", "log",             "upgrade flash read",
                                "upgrade erase",  "upgrade program", "upgrade verify",  "upgrade eeprom write",
                                "upgrade eeprom verify"};
    const std::pair<const char *, Fault> faults[] = {
        {"unplugged", Fault::Unplug}, {"silent", Fault::Silent}, {"lying", Fault::Lying}};
    for (const char *op : operations)
        for (const auto &[name, fault] : faults)
            QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(QLatin1String(op), QLatin1String(name))))
                << QString::fromLatin1(op) << int(fault);
}

void TestFaults::faultInTheMiddle()
{
    QFETCH(QString, operation);
    QFETCH(int, fault);
    const Fault kind = Fault(fault);
    const bool upgrade = operation.startsWith(QLatin1String("upgrade"));
    const bool eeprom = operation.contains(QLatin1String("eeprom"));
    const char *preset = eeprom ? "6.8in-k2t" : "6.8in-telv";
    const int slot = m_f->attach(preset, 50, [&](ScreenModel &m) {
        m.setRebootDelayMs(200);
        if (operation == QLatin1String("log")) {
            m.setIdent(debugIdent(m.preset().ident));
            m.setLog(std::vector<uint8_t>(5000, 'L'));
        }
    });
    const auto model = m_f->bus->model(slot);

    Trigger trigger;
    if (operation == QLatin1String("frame"))
        trigger = [](const Setup &s, const uint8_t *o, size_t n) { return screenCommand(s, o, n, 0x2C); };
    else if (operation == QLatin1String("flip"))
        trigger = [](const Setup &s, const uint8_t *o, size_t n) { return screenCommand(s, o, n, 0x36); };
    else if (operation == QLatin1String("backlight"))
        trigger = [](const Setup &s, const uint8_t *o, size_t n) { return screenCommand(s, o, n, 0x51); };
    else if (operation == QLatin1String("identification"))
        trigger = [](const Setup &s, const uint8_t *, size_t) { return s.request == 0xB5; };
    else if (operation == QLatin1String("led test"))
        trigger = [](const Setup &s, const uint8_t *o, size_t n) { return s.request == 0xB5 && n > 0 && o[0] == 0x74; };
    else if (operation == QLatin1String("log"))
        trigger = [](const Setup &s, const uint8_t *, size_t) { return s.request == 0xA6; };
    else if (operation == QLatin1String("upgrade flash read"))
        trigger = [](const Setup &s, const uint8_t *o, size_t n) { return configBridge(s, o, n, 0x03); };
    else if (operation == QLatin1String("upgrade erase"))
        trigger = [](const Setup &s, const uint8_t *, size_t) { return s.request == 0xBE; };
    else if (operation == QLatin1String("upgrade program"))
        trigger = [](const Setup &s, const uint8_t *, size_t n) { return s.request == 0xB5 && n == 54; };
    else if (operation == QLatin1String("upgrade verify"))
        trigger = [programmed = false](const Setup &s, const uint8_t *o, size_t n) mutable {
            programmed = programmed || (s.request == 0xB9 && n > 0 && o[0] == 0);
            return programmed && configBridge(s, o, n, 0x03);
        };
    else if (operation == QLatin1String("upgrade eeprom write"))
        trigger = [](const Setup &s, const uint8_t *o, size_t n) { return configBridge(s, o, n, 0x12); };
    else if (operation == QLatin1String("upgrade eeprom verify"))
        trigger = [written = false](const Setup &s, const uint8_t *o, size_t n) mutable {
            written = written || configBridge(s, o, n, 0x12);
            return written && configBridge(s, o, n, 0x02);
        };
    else // the throughput test sends bulk data only: tripped by hand below
        trigger = [](const Setup &, const uint8_t *, size_t) { return false; };

    if (operation == QLatin1String("identification")) {
        arm(slot, kind, trigger);
        m_f->scanUntil([&] { return tripped(); });
    } else {
        QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
        QTest::qWait(1200); // the start logo has gone out
        arm(slot, kind, trigger);
    }

    QString firmware;
    QByteArray firmwareHash;
    // A log saved earlier must survive a read-out that fails, byte for byte.
    const QByteArray savedLog("the log saved last week\n\x01\x02", 26);
    if (operation == QLatin1String("log")) {
        QFile saved(QStringLiteral("screen.txt"));
        QVERIFY(saved.open(QIODevice::WriteOnly) && saved.write(savedLog) == savedLog.size());
    }
    if (operation == QLatin1String("frame")) {
        m_f->child<QPushButton>("pbRed")->click();
    } else if (operation == QLatin1String("flip")) {
        m_f->child<QPushButton>("pbVFlip")->click();
    } else if (operation == QLatin1String("backlight")) {
        auto *bar = m_f->child<QAbstractSlider>("barBacklight");
        bar->setValue(bar->value() == 10 ? 20 : 10);
    } else if (operation == QLatin1String("led test")) {
        m_f->child<QPushButton>("pbLEDTest")->click();
    } else if (operation == QLatin1String("throughput test")) {
        m_f->window->onTest();
        QTest::qWait(150);
        m_tripped = true;
    } else if (operation == QLatin1String("log")) {
        QVERIFY(m_f->child("pbLog")->isVisible());
        m_f->child<QPushButton>("pbLog")->click();
        // The read-out runs on the link thread; its box says it has ended.
        QTRY_VERIFY_WITH_TIMEOUT(!m_boxes.shown().isEmpty(), 15000);
    } else if (upgrade) {
        firmware = m_dir.filePath(eeprom ? QStringLiteral("firmware/K2T-K5TX/7NDK2T.bin")
                                         : QStringLiteral("firmware/TELV/TELV.6d8.TAVRIK.bin"));
        QVERIFY(writeFile(firmware, eeprom ? testimages::upgradeEepromImage() : testimages::upgradeTelvImage()));
        firmwareHash = fileHash(firmware);
        QCOMPARE(runUpgrade(), -1);
        // Once erasing began, a failure leaves firmware that is not whole.
        if (operation == QLatin1String("upgrade flash read"))
            QCOMPARE(m_boxes.last(), QStringLiteral("Notify|Upgrade firmware failed."));
        else
            QVERIFY2(m_boxes.last().startsWith(QStringLiteral("Notify|The firmware upgrade did not finish: ")),
                     qPrintable(m_boxes.last()));
        QVERIFY(!m_progress.contains(100));
        QCOMPARE(fileHash(firmware), firmwareHash);
    }
    QTRY_VERIFY2_WITH_TIMEOUT(tripped(), "the fault never came", 5000);
    QVERIFY(answers());

    if (kind == Fault::Unplug) {
        if (m_actor.joinable())
            m_actor.join();
        // The window lets go of the screen and says so.
        QVERIFY(m_f->scanUntil([&] { return !m_f->screen() && m_f->list()->count() == 0; }));
        // The selection's outcome comes after the list.
        QTRY_COMPARE(m_f->status(), QStringLiteral("No device."));
        QVERIFY(!m_f->lampGreen());
        QTRY_VERIFY(!m_f->session().ledTestRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!m_f->session().throughputTestRunning(), 5000);
        QVERIFY(!m_f->child<QPushButton>("pbLEDTest")->isChecked());
        // Plugged in again, it is taken up as new.
        model->setRequestFilter({});
        model->setFaults({});
        m_f->bus->plug(slot);
        QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
    } else {
        if (operation == QLatin1String("led test"))
            m_f->child<QPushButton>("pbLEDTest")->click(); // the user stops it
        if (m_actor.joinable())
            m_actor.join();
        QTRY_VERIFY_WITH_TIMEOUT(!m_f->session().ledTestRunning(), 5000);
        QVERIFY(answers());
        // Once the screen behaves again, so does the window with it.
        model->setRequestFilter({});
        model->setFaults({});
        QTRY_VERIFY_WITH_TIMEOUT(!m_f->session().throughputTestRunning(), 90000);
        QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
    }
    if (operation == QLatin1String("log")) {
        QVERIFY(m_boxes.shown().contains(QStringLiteral("Error|The log could not be read from the screen.")));
        QVERIFY(!m_boxes.shown().contains(QStringLiteral("Notify|Log file has saved to screen.txt")));
        QFile saved(QStringLiteral("screen.txt"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), savedLog);
        QFile::remove(QStringLiteral("screen.txt"));
    }
    if (upgrade)
        QCOMPARE(fileHash(firmware), firmwareHash);
    QTest::qWait(300);
    const uint64_t frames = model->frameSerial();
    m_f->child<QPushButton>("pbGreen")->click();
    QTRY_VERIFY(model->frameSerial() > frames);
}

void TestFaults::screenLeavingWhileIdentifiedKeepsItsModel()
{
    // Its size code alone, with the variant a gone screen reads as zeros,
    // names the older family's 6.8-inch panel and its firmware file.
    const int slot = m_f->attach("6.8in-telv", 50);
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
    const QString firmware = m_f->session().geometry().modelFirmwareName;
    QVERIFY(m_f->session().geometry().telvFamily);
    // The listing reads the codes first, then the open.
    arm(slot, Fault::Unplug, [reads = 0](const Setup &s, const uint8_t *o, size_t n) mutable {
        return configBridge(s, o, n, 0x02) && n >= 5 && o[4] == 0xF8 && ++reads == 2;
    });
    m_f->bus->replug(slot); // the next plug-in leaves between the open's two code reads
    QVERIFY(m_f->scanUntil([&] { return tripped() && !m_f->screen() && m_f->list()->count() == 0; }));
    QTRY_COMPARE(m_f->status(), QStringLiteral("No device."));
    QVERIFY(m_f->session().geometry().telvFamily);
    QCOMPARE(m_f->session().geometry().modelFirmwareName, firmware);
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
