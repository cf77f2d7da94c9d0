#include "screenviewer.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace sim {

namespace {

// Touch controllers report 00 on contact, 10 while held, 01 on release.
constexpr int kTouchDown = 0;
constexpr int kTouchUp = 1;
constexpr int kTouchHeld = 2;

QString usbIdText(UsbId id)
{
    return QStringLiteral("%1:%2").arg(id.vendor, 4, 16, QLatin1Char('0')).arg(id.product, 4, 16, QLatin1Char('0'));
}

} // namespace

ScreenViewer::ScreenViewer(VirtualBus &bus, int slot, QWidget *parent)
    : QWidget(parent), m_bus(bus), m_slot(slot), m_model(bus.model(slot))
{
    const Preset &p = m_model->preset();
    setWindowTitle(QStringLiteral("Simulated %1 screen").arg(QString::fromStdString(p.name)));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(false);

    m_state = new QLabel(this);
    m_state->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_state->setStyleSheet(QStringLiteral("QLabel { color: #d0d0d0; padding-left: 6px; }"));
    m_plug = new QPushButton(tr("Unplug"), this);
    connect(m_plug, &QPushButton::clicked, this, [this] {
        if (m_bus.plugged(m_slot))
            m_bus.unplug(m_slot);
        else
            m_bus.plug(m_slot);
        refresh();
    });
    auto *bar = new QHBoxLayout;
    bar->addWidget(m_state, 1);
    bar->addWidget(m_plug);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 4);
    layout->addStretch(1);
    layout->addLayout(bar);

    // Fit the glass in 640 x 640 at most, keeping its shape.
    const QSize picture(p.pictureWidth(), p.pictureHeight());
    const QSize shown = picture.scaled(QSize(640, 640).boundedTo(picture), Qt::KeepAspectRatio);
    resize(shown.width(), shown.height() + 36);
    setMinimumSize(160, 140);

    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &ScreenViewer::refresh);
    timer->start(33);
    refresh();
}

QRect ScreenViewer::pictureRect() const
{
    const Preset &p = m_model->preset();
    const QRect area(0, 0, width(), height() - 36);
    QSize s(p.pictureWidth(), p.pictureHeight());
    s.scale(area.size(), Qt::KeepAspectRatio);
    return QRect(area.x() + (area.width() - s.width()) / 2, area.y() + (area.height() - s.height()) / 2,
                 s.width(), s.height());
}

void ScreenViewer::refresh()
{
    const Preset &p = m_model->preset();
    const bool plugged = m_bus.plugged(m_slot);
    const uint64_t serial = m_model->frameSerial();
    const auto flip = m_model->flip();
    const auto backlight = m_model->backlight();
    const bool changed = serial != m_shownSerial || flip != m_shownFlip || backlight != m_shownBacklight;
    if (changed) {
        m_shownSerial = serial;
        m_shownFlip = flip;
        m_shownBacklight = backlight;
        int w = 0;
        int h = 0;
        const std::vector<uint16_t> pixels = m_model->shownPicture(&w, &h);
        if (pixels.empty()) {
            m_glass = QImage();
        } else {
            QImage img(reinterpret_cast<const uchar *>(pixels.data()), w, h, w * 2, QImage::Format_RGB16);
            // The panel is built to show pictures upright in its default flip state.
            const int extra = flip.value_or(p.flipDefault) ^ p.flipDefault;
            img = img.mirrored(extra & 2, extra & 1).convertToFormat(QImage::Format_RGB32);
            if (backlight && *backlight < 255) {
                QPainter dim(&img);
                dim.fillRect(img.rect(), QColor(0, 0, 0, 255 - *backlight));
            }
            m_glass = img;
        }
    }

    const UsbId id = m_model->usbId();
    QString mode;
    switch (m_model->mode()) {
    case Mode::Running: mode = tr("running"); break;
    case Mode::TelvBootLoader: mode = tr("TELV boot loader"); break;
    case Mode::K2tBootLoader: mode = tr("K2T/K5TX boot loader"); break;
    }
    const FrameStats stats = m_model->frameStats();
    QStringList path;
    for (int port : m_bus.portPath(m_slot))
        path << QString::number(port);
    m_state->setText(QStringLiteral("PHY(%1.%2) %3 %4 | %5 | frames %6 | backlight %7 | flip %8")
                         .arg(m_bus.busNumber(m_slot))
                         .arg(path.join(QLatin1Char('.')))
                         .arg(usbIdText(id), plugged ? mode : tr("unplugged"))
                         .arg(QString::fromStdString(p.name))
                         .arg(stats.framesComplete)
                         .arg(backlight ? QString::number(*backlight) : QStringLiteral("-"))
                         .arg(flip ? QString::number(*flip) : QStringLiteral("-")));
    m_plug->setText(plugged ? tr("Unplug") : tr("Plug in"));
    if (changed)
        update();
    else
        update(QRect(0, height() - 36, width(), 36));
}

void ScreenViewer::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(24, 24, 24));
    const QRect target = pictureRect();
    painter.fillRect(target, Qt::black);
    if (!m_bus.plugged(m_slot)) {
        painter.setPen(Qt::gray);
        painter.drawText(target, Qt::AlignCenter, tr("unplugged"));
    } else if (m_glass.isNull() && m_model->mode() == Mode::Running) {
        // What the firmware shows at power-up, until the host sends a frame.
        QFont big = font();
        big.setPixelSize(std::max(12, target.height() / 6));
        big.setBold(true);
        painter.setFont(big);
        painter.setPen(QColor(230, 120, 30));
        painter.drawText(target, Qt::AlignCenter, QStringLiteral("TAVRIK"));
        QFont small = font();
        small.setPixelSize(std::max(10, target.height() / 24));
        painter.setFont(small);
        painter.setPen(Qt::gray);
        painter.drawText(target.adjusted(0, 0, 0, -target.height() / 8), Qt::AlignHCenter | Qt::AlignBottom,
                         QString::fromStdString(m_model->preset().description));
    } else if (m_glass.isNull()) {
        painter.setPen(Qt::gray);
        painter.drawText(target, Qt::AlignCenter, tr("boot loader: no picture"));
    } else {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, m_glass);
    }
}

void ScreenViewer::touchAt(QPointF widgetPos, int eventFlag)
{
    const QRect target = pictureRect();
    if (target.isEmpty())
        return;
    const Preset &p = m_model->preset();
    const int x = int((widgetPos.x() - target.x()) * p.pictureWidth() / target.width());
    const int y = int((widgetPos.y() - target.y()) * p.pictureHeight() / target.height());
    if (x < 0 || y < 0 || x >= p.pictureWidth() || y >= p.pictureHeight())
        return;
    const auto [rx, ry] = m_model->rawTouchForPicturePoint(x, y);
    m_model->injectTouch(rx, ry, eventFlag);
}

void ScreenViewer::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        touchAt(event->position(), kTouchDown);
        m_lastMove.start();
    }
}

void ScreenViewer::mouseMoveEvent(QMouseEvent *event)
{
    // A touch controller reports about 60 times a second while held.
    if ((event->buttons() & Qt::LeftButton) && m_lastMove.isValid() && m_lastMove.elapsed() >= 16) {
        touchAt(event->position(), kTouchHeld);
        m_lastMove.restart();
    }
}

void ScreenViewer::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        touchAt(event->position(), kTouchUp);
}

} // namespace sim
