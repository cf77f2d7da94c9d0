#pragma once

// What the monitor-mode tests share: known pictures and their expected
// frames, looking at processes, reading the debug output, and a private
// virtual X server.
#include <QList>
#include <QMutex>
#include <QPair>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace monitortest {

using Bytes = std::vector<uint8_t>;

// A picture of 4-byte pixels (blue, green, red, alpha) with rows of
// `stride` bytes: colour ramps with a seed-dependent offset and a few hard
// edges, so that any shift, swap or missed row shows. Padding bytes hold
// 0xEE: they must never show.
Bytes pattern(int width, int height, int stride, int seed);
// libyuv's conversion of such a picture into RGB 5-6-5 with the built-in
// ordered dither: the frame the screen should receive.
Bytes expectedFrame(const uint8_t *pixels, int stride, int width, int height);

// Whether the glass (the upright picture a simulated screen shows, RGB
// 5-6-5 pixels) shows `expected`, the frame of the unturned picture: equal
// but for the steps that the ordered dither may make when it runs over the
// turned picture.
bool showsOnGlass(const std::vector<uint16_t> &glass, const Bytes &expected);
// The box round the pixels where a glass `width` pixels wide does not show
// `expected`, in the same terms; empty when it shows it or the sizes differ.
QRect glassDifference(const std::vector<uint16_t> &glass, int width, const Bytes &expected);

// A name for shared objects that no other test run uses.
QString uniqueName(const char *what);
// Where the shared object `name` lives, and whether this process has it
// mapped.
QString shmPath(const QString &name);
bool mappedHere(const QString &path);
// Cuts the shared object `name` to `size` bytes, as another program of
// the same user could while it is mapped.
bool shrinkShared(const QString &name, qint64 size);

// Another user: uid and gid 65534, without groups, through setpriv.
inline constexpr int kOtherUser = 65534;
// Why nothing can run as that user here (not root, no setpriv, or one of
// `paths` out of its reach); empty when it can.
QString otherUserUnavailable(const QStringList &paths = {});
// Starts `program` as that user.
void startAsOtherUser(QProcess &process, const QString &program, const QStringList &arguments);
// Runs `/bin/sh -c script` with `arguments` as that user; true on exit 0.
bool runAsOtherUser(const QString &script, const QStringList &arguments = {});

// Whether the process is gone: no longer there, or a zombie waiting for
// whoever reaps it.
bool processGone(qint64 pid);
// How long a test waits for a process it ended, or that ends by itself,
// to go: a loaded machine may take its time, one that hangs still fails.
inline constexpr int kProcessEndPatienceMs = 30000;
// Likewise for a helper program's first words: a sanitizer build started on
// a loaded machine takes seconds before it prints anything.
inline constexpr int kProcessStartPatienceMs = 30000;
bool waitGone(qint64 pid, int ms = kProcessEndPatienceMs);
// Whether the process stands stopped (by SIGSTOP).
bool processStopped(qint64 pid);
// Its processor time so far, user and system, in milliseconds.
qint64 processorMs(qint64 pid);
// Running processes of that image name; waits up to `ms` for the first.
QList<qint64> waitForProcesses(const QString &imageName, int ms);
// Running processes of that image name that this process started.
QList<qint64> childrenNamed(const QString &imageName);

// Collects what goes to Qt's debug output, from any thread.
class DebugLog {
public:
    DebugLog();
    ~DebugLog();
    QStringList messages() const;
    bool contains(const QString &text) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);
    QtMessageHandler m_previous;
};

// A virtual X server of its own on a free display number.
class Xvfb {
public:
    ~Xvfb();
    // Empty string on success, else why not. `options` go to the server.
    QString start(QSize size, const QStringList &options = {});
    // A server whose desktop is `desktop` with room to grow to `room`, as
    // on real drivers (Xvfb never grows past the size it started with).
    QString startExtendable(QSize desktop, QSize room, const QStringList &options = {});
    QString display() const { return m_display; }

private:
    QProcess m_process;
    QString m_display;
};

// The desktop's current size, and the RandR monitors by name.
QSize desktopSize(const QString &display);
bool setDesktopSize(const QString &display, QSize size);
// Whether the root window carries the property `name`.
bool rootHasProperty(const QString &display, const char *name);
QList<QPair<QString, QRect>> monitors(const QString &display);

// A plain window of one colour on `display`, without a window manager:
// mapped where it is put.
class TestWindow {
public:
    TestWindow(const QString &display, QRect where, uint32_t rgb);
    ~TestWindow();
    TestWindow(const TestWindow &) = delete;
    TestWindow &operator=(const TestWindow &) = delete;
    bool usable() const { return m_window != 0; }
    unsigned long id() const { return m_window; }
    // Paints it anew in `rgb`, as a program redrawing itself.
    void paint(uint32_t rgb);
    QRect geometry() const;
    // Where the window with what a window manager put round it lies on
    // the desktop: its top-level ancestor's outer rectangle.
    QRect frameGeometry() const;
    // Button 1 presses and releases on it from now on, at root coordinates,
    // as they came; nextButton() takes the oldest, if any.
    void listenForButtons();
    struct Button {
        bool press = false;
        QPoint root;
    };
    std::optional<Button> nextButton();
    // The pointer on the root window, as a user's mouse would put it.
    void putPointer(QPoint at);
    QPoint pointer() const;

private:
    void *m_display = nullptr; // Xlib's Display, kept out of this header

    unsigned long m_window = 0;
};

// Says on `display` that a window manager runs (EWMH) and records the
// _NET_MOVERESIZE_WINDOW requests sent to it, carrying none of them out.
class FakeWindowManager {
public:
    explicit FakeWindowManager(const QString &display);
    ~FakeWindowManager();
    FakeWindowManager(const FakeWindowManager &) = delete;
    FakeWindowManager &operator=(const FakeWindowManager &) = delete;
    bool usable() const { return m_display != nullptr; }
    // Marks `window` as one it manages (WM_STATE, normal).
    void manage(unsigned long window);
    // The move requests received so far: the window and where to.
    QList<QPair<unsigned long, QPoint>> moveRequests();

private:
    void *m_display = nullptr; // Xlib's Display
    unsigned long m_check = 0;
    QList<QPair<unsigned long, QPoint>> m_moves;
};

// Shows `picture` (4-byte pixels, tight rows) as the root window's
// background of `display` and reads the desktop back as the frame driver
// would see it; empty when that fails.
Bytes showOnDesktop(const QString &display, const Bytes &picture, QSize size);

} // namespace monitortest
