#pragma once

#include "linkthread.h"
#include "usbhandles.h"

#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>

namespace screenlink {
class Screen;
}

namespace session {

class EventPump;
class ShownScreen;

// How a start of monitor mode for a chosen screen came out.
enum class ChooseOutcome {
    Started,
    NotConnected, // no running screen has the chosen device ID
    NoUsableSize, // the screen's information string gives no size that fits
};

// The running screens by device ID, and monitor mode for each one chosen,
// which stays open while its monitor mode runs; any number at once, each
// with a driver of its own. Listing and opening run on a thread of their
// own and report through the signals.
class ScreenChooser : public QObject {
    Q_OBJECT

public:
    explicit ScreenChooser(QObject *parent = nullptr);
    // Stops monitor mode first: the job must not outlive its screen's owner.
    ~ScreenChooser() override;

    // Lists the device ID of every running screen, ours included, and the
    // ports of the running screens another program holds (listed()).
    void refresh();
    // Opens the first running screen with device ID `id` not shown yet,
    // reads its size and starts monitor mode on it with the driver at
    // `driver` (chosen()), in `mode` ("extend", "mirror") when given.
    void start(const QString &id, const QString &driver, const QString &mode = {});
    // Ends monitor mode on the screen of `id`, blanks it and closes it; the
    // others keep theirs. A screen whose job ended by itself (it left)
    // stays chosen until then.
    void stop(const QString &id);
    void stopAll();

    // Any screen's monitor job runs.
    bool monitorRunning() const;
    bool hasChosen() const { return !m_shown.empty(); }
    bool showing(const QString &id) const { return m_shown.count(id) != 0; }
    bool starting(const QString &id) const { return m_starting.count(id) != 0; }
    bool anyStarting() const { return !m_starting.empty(); }
    // The screens shown, by device ID, with their ports.
    std::map<QString, QString> shownPorts() const;
    // The size monitor mode runs at: the last one a chosen screen reported.
    QSize screenSize() const { return m_size; }

signals:
    void listed(const QStringList &ids, const QStringList &inUsePorts);
    void chosen(const QString &id, session::ChooseOutcome outcome);

private:
    struct Shown {
        std::unique_ptr<ShownScreen> screen;
        QString port;
    };

    std::shared_ptr<screenlink::UsbContext> m_context;
    LinkThread m_link;
    QSize m_size{0, 0};
    std::map<QString, Shown> m_shown; // by device ID
    std::map<QString, int> m_starting; // device ID -> its start's generation
    std::unique_ptr<EventPump> m_events;
    int m_generation = 0;
};

} // namespace session
