#pragma once

#include "linkthread.h"
#include "usbhandles.h"

#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>

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

// The running screens by device ID, and monitor mode for the one chosen,
// which stays open while monitor mode runs. Listing and opening run on a
// thread of their own and report through the signals.
class ScreenChooser : public QObject {
    Q_OBJECT

public:
    explicit ScreenChooser(QObject *parent = nullptr);
    // Stops monitor mode first: the job must not outlive its screen's owner.
    ~ScreenChooser() override;

    // Lists the device ID of every running screen, and the ports of the
    // running screens another program holds (listed()).
    void refresh();
    // Opens the first running screen with device ID `id`, reads its size and
    // starts monitor mode with the driver at `driver` (chosen()), in `mode`
    // ("extend", "mirror") when given.
    void start(const QString &id, const QString &driver, const QString &mode = {});
    // Ends monitor mode, blanks the chosen screen and closes it.
    void stop();

    bool monitorRunning() const;
    bool hasChosen() const;
    // The size monitor mode runs at: the last one a chosen screen reported.
    QSize screenSize() const { return m_size; }

signals:
    void listed(const QStringList &ids, const QStringList &inUsePorts);
    void chosen(session::ChooseOutcome outcome);

private:
    std::shared_ptr<screenlink::UsbContext> m_context;
    LinkThread m_link;
    QSize m_size{0, 0};
    std::unique_ptr<ShownScreen> m_shown;
    std::unique_ptr<EventPump> m_events;
    int m_generation = 0;
};

} // namespace session
