// A Wayland client for the test beds: a window made fullscreen on the
// monitor that holds the desktop point X,Y, showing monitortest's pattern
// for SEED at the window's size, one colour (RRGGBB), or red and blue in
// turn HZ times a second as a program that redraws itself.
//   picturewindow X Y (--pattern SEED | --fill RRGGBB | --flash HZ)
// Prints "screen WxH" once it has asked for that monitor, then "press X Y"
// and "release X Y" for each press of the left button, in window pixels.
#include "monitortestsupport.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <QTimer>

#include <cstdio>

namespace {

class PictureWindow : public QRasterWindow {
public:
    PictureWindow(int seed, QRgb fill, int hz) : m_seed(seed), m_fill(fill)
    {
        // Nothing of the toolkit's own round the picture.
        setFlags(Qt::Window | Qt::FramelessWindowHint);
        if (hz > 0) {
            QObject::connect(&m_flash, &QTimer::timeout, this, [this] {
                m_red = !m_red;
                update();
            });
            m_flash.start(1000 / hz);
        }
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        if (m_flash.isActive()) {
            painter.fillRect(QRect(QPoint(), size()), m_red ? Qt::red : Qt::blue);
            return;
        }
        if (m_seed < 0) {
            painter.fillRect(QRect(QPoint(), size()), QColor(m_fill));
            return;
        }
        const int w = width();
        const int h = height();
        if (m_picture.size() != size_t(w) * size_t(h) * 4)
            m_picture = monitortest::pattern(w, h, w * 4, m_seed);
        painter.drawImage(0, 0, QImage(m_picture.data(), w, h, w * 4, QImage::Format_RGB32));
    }

    void mousePressEvent(QMouseEvent *event) override { tell("press", event); }
    void mouseReleaseEvent(QMouseEvent *event) override { tell("release", event); }

private:
    static void tell(const char *what, const QMouseEvent *event)
    {
        if (event->button() != Qt::LeftButton)
            return;
        std::printf("%s %d %d\n", what, qRound(event->position().x()), qRound(event->position().y()));
        std::fflush(stdout);
    }

    int m_seed;
    QRgb m_fill;
    QTimer m_flash;
    bool m_red = false;
    monitortest::Bytes m_picture;
};

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "wayland");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString how = args.value(3);
    const QStringList hows{QStringLiteral("--pattern"), QStringLiteral("--fill"), QStringLiteral("--flash")};
    if (args.size() != 5 || !hows.contains(how)) {
        std::fprintf(stderr, "usage: picturewindow X Y (--pattern SEED | --fill RRGGBB | --flash HZ)\n");
        return 2;
    }
    const QPoint at(args[1].toInt(), args[2].toInt());
    PictureWindow window(how == QLatin1String("--pattern") ? args[4].toInt() : -1,
                         how == QLatin1String("--fill") ? args[4].toUInt(nullptr, 16) : 0,
                         how == QLatin1String("--flash") ? std::max(1, args[4].toInt()) : 0);

    // The monitor may be announced a moment after the caller saw it.
    QElapsedTimer waited;
    waited.start();
    QScreen *screen = nullptr;
    while (!(screen = QGuiApplication::screenAt(at)) && waited.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    if (!screen) {
        std::fprintf(stderr, "picturewindow: no monitor at %d,%d\n", at.x(), at.y());
        return 1;
    }
    // Qt gives the window the screen its geometry lies on, whatever it
    // was set to, and asks for fullscreen on that one.
    window.setScreen(screen);
    window.setGeometry(screen->geometry());
    window.showFullScreen();
    std::printf("screen %dx%d\n", screen->size().width(), screen->size().height());
    std::fflush(stdout);
    return app.exec();
}
