#include "monitortestsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <libyuv/convert_from_argb.h>

#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include <csignal>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "processes.h"

namespace monitortest {

Bytes pattern(int width, int height, int stride, int seed)
{
    Bytes px(size_t(stride) * size_t(height), 0xEE);
    for (int y = 0; y < height; ++y) {
        uint8_t *row = px.data() + size_t(y) * size_t(stride);
        for (int x = 0; x < width; ++x) {
            uint8_t *p = row + size_t(x) * 4;
            p[0] = uint8_t((x * 255) / std::max(1, width - 1) + seed * 37);
            p[1] = uint8_t((y * 255) / std::max(1, height - 1) + seed * 11);
            p[2] = uint8_t(((x / 16 + y / 16) % 2) ? 230 - seed : 20 + seed);
            p[3] = uint8_t(seed);
            if (x < 8 && y < 8) { // a marker in the first corner
                p[0] = 0;
                p[1] = 0;
                p[2] = 255;
            }
        }
    }
    return px;
}

Bytes expectedFrame(const uint8_t *pixels, int stride, int width, int height)
{
    Bytes frame(size_t(width) * size_t(height) * 2);
    libyuv::ARGBToRGB565Dither(pixels, stride, frame.data(), width * 2, nullptr, width, height);
    return frame;
}

namespace {

// The dither adds up to 7 before the cut: one step of a 5-bit channel, two
// of the 6-bit green.
bool shownAs(int seen, const Bytes &expected, size_t i)
{
    const int want = expected[2 * i] | expected[2 * i + 1] << 8;
    const auto near = [](int a, int b, int steps) { return std::abs(a - b) <= steps; };
    return near(seen >> 11, want >> 11, 1) && near(seen >> 5 & 0x3F, want >> 5 & 0x3F, 2)
           && near(seen & 0x1F, want & 0x1F, 1);
}

} // namespace

bool showsOnGlass(const std::vector<uint16_t> &glass, const Bytes &expected)
{
    if (glass.empty() || glass.size() * 2 != expected.size())
        return false;
    for (size_t i = 0; i < glass.size(); ++i) {
        if (!shownAs(glass[i], expected, i))
            return false;
    }
    return true;
}

QRect glassDifference(const std::vector<uint16_t> &glass, int width, const Bytes &expected)
{
    QRect box;
    if (glass.size() * 2 != expected.size() || width <= 0)
        return box;
    for (size_t i = 0; i < glass.size(); ++i) {
        if (!shownAs(glass[i], expected, i))
            box |= QRect(int(i % size_t(width)), int(i / size_t(width)), 1, 1);
    }
    return box;
}

QString uniqueName(const char *what)
{
    static std::atomic<int> counter{0};
    return QStringLiteral("TAVRIK_TEST_%1_%2_%3").arg(QLatin1String(what)).arg(getpid()).arg(++counter);
}

QString shmPath(const QString &name)
{
    return QStringLiteral("/dev/shm/") + name;
}

bool mappedHere(const QString &path)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    const QByteArray wanted = ' ' + path.toLocal8Bit();
    for (const QByteArray &line : maps.readAll().split('\n'))
        if (line.endsWith(wanted) || line.contains(wanted + ' '))
            return true;
    return false;
}

bool shrinkShared(const QString &name, qint64 size)
{
    // shm_open(3): umockdev, which the tests may run under, moves open(2)'s
    // /dev paths into its test bed but not glibc's own.
    const int fd = shm_open(('/' + name).toLocal8Bit().constData(), O_RDWR, 0);
    if (fd < 0)
        return false;
    const bool done = ftruncate(fd, off_t(size)) == 0;
    ::close(fd);
    return done;
}

namespace {

QStringList otherUserPrefix()
{
    return {QStringLiteral("--reuid=%1").arg(kOtherUser), QStringLiteral("--regid=%1").arg(kOtherUser),
            QStringLiteral("--clear-groups"), QStringLiteral("--")};
}

} // namespace

QString otherUserUnavailable(const QStringList &paths)
{
    if (geteuid() != 0)
        return QStringLiteral("running a helper as uid %1 needs root").arg(kOtherUser);
    if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        return QStringLiteral("setpriv (util-linux) is not installed");
    for (const QString &path : paths)
        if (!runAsOtherUser(QStringLiteral("test -r \"$0\" && test -x \"$0\""), {path}))
            return QStringLiteral("%1 is out of reach for uid %2").arg(path).arg(kOtherUser);
    // A sanitizer ends our programs at once when it cannot read its
    // suppressions, which a checkout private to root holds.
    for (const char *variable : {"TSAN_OPTIONS", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        const QStringList options = qEnvironmentVariable(variable).split(QRegularExpression(QStringLiteral("[: ]")));
        for (const QString &option : options) {
            const QString file = option.section(QLatin1Char('='), 1);
            if (!paths.isEmpty() && option.startsWith(QLatin1String("suppressions="))
                && !runAsOtherUser(QStringLiteral("test -r \"$0\""), {file}))
                return QStringLiteral("%1 is out of reach for uid %2").arg(file).arg(kOtherUser);
        }
    }
    return {};
}

void startAsOtherUser(QProcess &process, const QString &program, const QStringList &arguments)
{
    // Its paths are the real ones, outside any simulated bus.
    QProcessEnvironment env = process.processEnvironment();
    if (env.isEmpty())
        env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("LD_PRELOAD"));
    env.remove(QStringLiteral("UMOCKDEV_DIR"));
    process.setProcessEnvironment(env);
    process.start(QStandardPaths::findExecutable(QStringLiteral("setpriv")),
                  otherUserPrefix() + QStringList{program} + arguments);
}

bool runAsOtherUser(const QString &script, const QStringList &arguments)
{
    QProcess shell;
    shell.setProcessChannelMode(QProcess::ForwardedChannels);
    startAsOtherUser(shell, QStringLiteral("/bin/sh"), QStringList{QStringLiteral("-c"), script} + arguments);
    return shell.waitForFinished(10000) && shell.exitStatus() == QProcess::NormalExit && shell.exitCode() == 0;
}

namespace {

// The fields of /proc/PID/stat after the name, from the state (field 3)
// on; none when the process is not there.
QList<QByteArray> statOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2).split(' ');
}

} // namespace

bool processGone(qint64 pid)
{
    const QList<QByteArray> fields = statOf(pid);
    return fields.isEmpty() || fields[0] == "Z";
}

bool processStopped(qint64 pid)
{
    const QList<QByteArray> fields = statOf(pid);
    return !fields.isEmpty() && fields[0] == "T";
}

qint64 processorMs(qint64 pid)
{
    // User and system time are fields 14 and 15.
    const QList<QByteArray> fields = statOf(pid);
    if (fields.size() < 13)
        return -1;
    return (fields[11].toLongLong() + fields[12].toLongLong()) * 1000 / sysconf(_SC_CLK_TCK);
}

bool waitGone(qint64 pid, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!processGone(pid)) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(10);
    }
    return true;
}

QList<qint64> childrenNamed(const QString &imageName)
{
    QList<qint64> found;
    for (int64_t pid : platform::findProcesses(imageName.toStdString())) {
        const QList<QByteArray> fields = statOf(pid);
        if (fields.size() > 1 && fields[0] != "Z" && fields[1].toLongLong() == qint64(getpid()))
            found << pid;
    }
    return found;
}

QList<qint64> waitForProcesses(const QString &imageName, int ms)
{
    QElapsedTimer t;
    t.start();
    for (;;) {
        QList<qint64> found;
        for (int64_t pid : platform::findProcesses(imageName.toStdString()))
            if (!processGone(pid))
                found << pid;
        if (!found.isEmpty() || t.elapsed() > ms)
            return found;
        QThread::msleep(10);
    }
}

namespace {

QMutex g_logMutex;
QStringList g_log;

} // namespace

namespace {

QtMessageHandler g_previous = nullptr;

} // namespace

DebugLog::DebugLog() : m_previous(qInstallMessageHandler(&DebugLog::handler))
{
    g_previous = m_previous;
}

DebugLog::~DebugLog()
{
    qInstallMessageHandler(m_previous);
}

void DebugLog::handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&g_logMutex);
        g_log << message;
    }
    if (g_previous)
        g_previous(type, context, message);
}

QStringList DebugLog::messages() const
{
    QMutexLocker lock(&g_logMutex);
    return g_log;
}

bool DebugLog::contains(const QString &text) const
{
    return messages().contains(text);
}

void DebugLog::clear()
{
    QMutexLocker lock(&g_logMutex);
    g_log.clear();
}

Xvfb::~Xvfb()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(1000);
    }
}

QString Xvfb::start(QSize size, const QStringList &options)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (program.isEmpty())
        return QStringLiteral("Xvfb is not installed");
    // The server is no part of the simulated bus.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("LD_PRELOAD"));
    env.remove(QStringLiteral("UMOCKDEV_DIR"));
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    // A test that dies must not leave its server behind.
    m_process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    // -displayfd: the server picks a free display and prints its number
    // once it accepts clients.
    m_process.start(program, QStringList{QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                              QStringLiteral("0"),
                              QStringLiteral("%1x%2x24").arg(size.width()).arg(size.height()),
                              QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-noreset")}
                                 + options);
    if (!m_process.waitForStarted(10000))
        return QStringLiteral("Xvfb did not start");
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (!out.contains('\n') && t.elapsed() < 15000) {
        m_process.waitForReadyRead(200);
        out += m_process.readAllStandardOutput();
        if (m_process.state() == QProcess::NotRunning)
            return QStringLiteral("Xvfb ended: ") + QString::fromLocal8Bit(m_process.readAllStandardError());
    }
    bool ok = false;
    const int number = out.trimmed().toInt(&ok);
    if (!ok)
        return QStringLiteral("Xvfb gave no display number");
    m_display = QStringLiteral(":%1").arg(number);
    return {};
}

QString Xvfb::startExtendable(QSize desktop, QSize room, const QStringList &options)
{
    const QString started = start(room, options);
    if (!started.isEmpty())
        return started;
    const QString xrandr = QStandardPaths::findExecutable(QStringLiteral("xrandr"));
    if (xrandr.isEmpty())
        return QStringLiteral("xrandr is not installed");
    const QString mode = QStringLiteral("%1x%2").arg(desktop.width()).arg(desktop.height());
    const QList<QStringList> steps = {
        {QStringLiteral("--newmode"), mode, QStringLiteral("0"), QString::number(desktop.width()), QStringLiteral("0"),
         QStringLiteral("0"), QStringLiteral("0"), QString::number(desktop.height()), QStringLiteral("0"),
         QStringLiteral("0"), QStringLiteral("0")},
        {QStringLiteral("--addmode"), QStringLiteral("screen"), mode},
        {QStringLiteral("--output"), QStringLiteral("screen"), QStringLiteral("--mode"), mode, QStringLiteral("--fb"),
         mode, QStringLiteral("--primary")},
    };
    for (const QStringList &step : steps) {
        QProcess run;
        run.start(xrandr, QStringList{QStringLiteral("-d"), m_display} + step);
        if (!run.waitForFinished(10000) || run.exitCode() != 0)
            return QStringLiteral("xrandr %1 failed: %2").arg(step.join(QLatin1Char(' ')),
                                                               QString::fromLocal8Bit(run.readAllStandardError()));
    }
    return {};
}

QSize desktopSize(const QString &display)
{
    Display *d = XOpenDisplay(display.toLocal8Bit().constData());
    if (!d)
        return {};
    Window root = 0;
    int x = 0;
    int y = 0;
    unsigned w = 0;
    unsigned h = 0;
    unsigned border = 0;
    unsigned depth = 0;
    XGetGeometry(d, DefaultRootWindow(d), &root, &x, &y, &w, &h, &border, &depth);
    XCloseDisplay(d);
    return QSize(int(w), int(h));
}

bool setDesktopSize(const QString &display, QSize size)
{
    Display *d = XOpenDisplay(display.toLocal8Bit().constData());
    if (!d)
        return false;
    const int screen = DefaultScreen(d);
    XRRSetScreenSize(d, DefaultRootWindow(d), size.width(), size.height(),
                     DisplayWidthMM(d, screen) * size.width() / DisplayWidth(d, screen),
                     DisplayHeightMM(d, screen) * size.height() / DisplayHeight(d, screen));
    XSync(d, False);
    XCloseDisplay(d);
    return desktopSize(display) == size;
}

bool rootHasProperty(const QString &display, const char *name)
{
    Display *d = XOpenDisplay(display.toLocal8Bit().constData());
    if (!d)
        return false;
    int count = 0;
    Atom *properties = XListProperties(d, DefaultRootWindow(d), &count);
    const Atom wanted = XInternAtom(d, name, True);
    const bool found = wanted != None && properties && std::find(properties, properties + count, wanted) != properties + count;
    if (properties)
        XFree(properties);
    XCloseDisplay(d);
    return found;
}

QList<QPair<QString, QRect>> monitors(const QString &display)
{
    QList<QPair<QString, QRect>> out;
    Display *d = XOpenDisplay(display.toLocal8Bit().constData());
    if (!d)
        return out;
    int count = 0;
    if (XRRMonitorInfo *list = XRRGetMonitors(d, DefaultRootWindow(d), False, &count)) {
        for (int i = 0; i < count; ++i) {
            char *name = XGetAtomName(d, list[i].name);
            out.append({QString::fromLatin1(name), QRect(list[i].x, list[i].y, list[i].width, list[i].height)});
            XFree(name);
        }
        XRRFreeMonitors(list);
    }
    XCloseDisplay(d);
    return out;
}

TestWindow::TestWindow(const QString &display, QRect where, uint32_t rgb)
{
    Display *d = XOpenDisplay(display.toLocal8Bit().constData());
    m_display = d;
    if (!d)
        return;
    const Window root = DefaultRootWindow(d);
    m_window = XCreateSimpleWindow(d, root, where.x(), where.y(), unsigned(where.width()),
                                   unsigned(where.height()), 0, 0, rgb);
    // Placed by its user, as `-geometry` does: a window manager keeps it there.
    XSizeHints hints{};
    hints.flags = USPosition | USSize;
    hints.x = where.x();
    hints.y = where.y();
    hints.width = where.width();
    hints.height = where.height();
    XSetWMNormalHints(d, m_window, &hints);
    XMapWindow(d, m_window);
    // Placed where asked even if something moved it while mapping.
    XMoveWindow(d, m_window, where.x(), where.y());
    XSync(d, False);
}

TestWindow::~TestWindow()
{
    if (m_display)
        XCloseDisplay(static_cast<Display *>(m_display));
}

void TestWindow::paint(uint32_t rgb)
{
    if (!m_window)
        return;
    Display *d = static_cast<Display *>(m_display);
    XSetWindowBackground(d, m_window, rgb);
    XClearWindow(d, m_window);
    XSync(d, False);
}

QRect TestWindow::geometry() const
{
    if (!m_window)
        return {};
    XWindowAttributes a{};
    XGetWindowAttributes(static_cast<Display *>(m_display), m_window, &a);
    return QRect(a.x, a.y, a.width, a.height);
}

QRect TestWindow::frameGeometry() const
{
    if (!m_window)
        return {};
    Display *d = static_cast<Display *>(m_display);
    Window w = m_window;
    for (;;) {
        Window root = 0;
        Window parent = 0;
        Window *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(d, w, &root, &parent, &children, &count))
            return {};
        if (children)
            XFree(children);
        if (parent == root || parent == 0)
            break;
        w = parent;
    }
    XWindowAttributes a{};
    XGetWindowAttributes(d, w, &a);
    return QRect(a.x, a.y, a.width + 2 * a.border_width, a.height + 2 * a.border_width);
}

void TestWindow::listenForButtons()
{
    if (!m_window)
        return;
    XSelectInput(static_cast<Display *>(m_display), m_window, ButtonPressMask | ButtonReleaseMask);
    XSync(static_cast<Display *>(m_display), False);
}

std::optional<TestWindow::Button> TestWindow::nextButton()
{
    Display *d = static_cast<Display *>(m_display);
    XEvent e{};
    while (m_window && XCheckWindowEvent(d, m_window, ButtonPressMask | ButtonReleaseMask, &e)) {
        if (e.xbutton.button == Button1)
            return Button{e.type == ButtonPress, QPoint(e.xbutton.x_root, e.xbutton.y_root)};
    }
    return std::nullopt;
}

void TestWindow::putPointer(QPoint at)
{
    Display *d = static_cast<Display *>(m_display);
    if (!d)
        return;
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, at.x(), at.y());
    XSync(d, False);
}

QPoint TestWindow::pointer() const
{
    Display *d = static_cast<Display *>(m_display);
    Window root = 0;
    Window child = 0;
    int x = -1;
    int y = -1;
    int winX = 0;
    int winY = 0;
    unsigned mask = 0;
    if (d)
        XQueryPointer(d, DefaultRootWindow(d), &root, &child, &x, &y, &winX, &winY, &mask);
    return {x, y};
}

FakeWindowManager::FakeWindowManager(const QString &display)
{
    Display *d = XOpenDisplay(display.toLocal8Bit().constData());
    m_display = d;
    if (!d)
        return;
    const Window root = DefaultRootWindow(d);
    m_check = XCreateSimpleWindow(d, root, -10, -10, 1, 1, 0, 0, 0);
    const Window check = m_check;
    const Atom supporting = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
    XChangeProperty(d, root, supporting, XA_WINDOW, 32, PropModeReplace, reinterpret_cast<const unsigned char *>(&check),
                    1);
    XChangeProperty(d, check, supporting, XA_WINDOW, 32, PropModeReplace, reinterpret_cast<const unsigned char *>(&check),
                    1);
    // Client messages to the root come with this mask; mapping is left alone.
    XSelectInput(d, root, SubstructureNotifyMask);
    XSync(d, False);
}

FakeWindowManager::~FakeWindowManager()
{
    if (!m_display)
        return;
    Display *d = static_cast<Display *>(m_display);
    XDeleteProperty(d, DefaultRootWindow(d), XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False));
    XCloseDisplay(d);
}

void FakeWindowManager::manage(unsigned long window)
{
    Display *d = static_cast<Display *>(m_display);
    const Atom wmState = XInternAtom(d, "WM_STATE", False);
    const long state[2] = {NormalState, None};
    XChangeProperty(d, window, wmState, wmState, 32, PropModeReplace, reinterpret_cast<const unsigned char *>(state), 2);
    XSync(d, False);
}

QList<QPair<unsigned long, QPoint>> FakeWindowManager::moveRequests()
{
    Display *d = static_cast<Display *>(m_display);
    const Atom moveResize = XInternAtom(d, "_NET_MOVERESIZE_WINDOW", False);
    XSync(d, False);
    while (XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.type == ClientMessage && event.xclient.message_type == moveResize)
            m_moves.append({event.xclient.window, QPoint(int(event.xclient.data.l[1]), int(event.xclient.data.l[2]))});
    }
    return m_moves;
}

Bytes showOnDesktop(const QString &display, const Bytes &picture, QSize size)
{
    Display *d = XOpenDisplay(display.toLocal8Bit().constData());
    if (!d)
        return {};
    const int screen = DefaultScreen(d);
    const Window root = RootWindow(d, screen);
    const unsigned w = unsigned(size.width());
    const unsigned h = unsigned(size.height());
    Pixmap pixmap = XCreatePixmap(d, root, w, h, unsigned(DefaultDepth(d, screen)));
    Bytes copy = picture;
    XImage *image = XCreateImage(d, DefaultVisual(d, screen), unsigned(DefaultDepth(d, screen)), ZPixmap, 0,
                                 reinterpret_cast<char *>(copy.data()), w, h, 32, int(w * 4));
    GC gc = XCreateGC(d, pixmap, 0, nullptr);
    XPutImage(d, pixmap, gc, image, 0, 0, 0, 0, w, h);
    XSetWindowBackgroundPixmap(d, root, pixmap);
    XClearWindow(d, root);
    XFreeGC(d, gc);
    XFreePixmap(d, pixmap);
    image->data = nullptr; // ours, not Xlib's
    XDestroyImage(image);
    XSync(d, False);

    Bytes seen;
    if (XImage *grabbed = XGetImage(d, root, 0, 0, w, h, AllPlanes, ZPixmap)) {
        if (grabbed->bits_per_pixel == 32) {
            seen.resize(size_t(w) * h * 4);
            for (unsigned y = 0; y < h; ++y)
                std::memcpy(seen.data() + size_t(y) * w * 4, grabbed->data + size_t(y) * size_t(grabbed->bytes_per_line),
                            size_t(w) * 4);
        }
        XDestroyImage(grabbed);
    }
    // The background outlives this connection.
    XSetCloseDownMode(d, RetainPermanent);
    XCloseDisplay(d);
    return seen;
}

} // namespace monitortest
