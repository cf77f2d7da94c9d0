// Pictures from panelctl's window to simulated screens and touches back:
// what the glass shows, the requests that carry it, drops and dots.
// Runs under umockdev-wrapper.
#include "boxrecorder.h"
#include "panelfixture.h"
#include "screenviewer.h"

#include <QDropEvent>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>

using namespace sim;
using Bytes = std::vector<uint8_t>;

namespace {

// An asymmetric picture: any turn or mirror shows.
QImage asymmetric(QSize size)
{
    QImage img(size, QImage::Format_RGB32);
    img.fill(Qt::blue);
    QPainter p(&img);
    p.fillRect(0, 0, size.width() / 3, size.height() / 2, Qt::red);
    p.fillRect(size.width() - 40, size.height() - 30, 40, 30, Qt::yellow);
    p.fillRect(0, 0, 8, 8, Qt::green);
    return img;
}

QImage preview(Preview *label)
{
    return label->pixmap().toImage().convertToFormat(QImage::Format_RGB16);
}

// The glass of the simulated screen as a picture.
QImage glass(const ScreenModel &m)
{
    int w = 0;
    int h = 0;
    const std::vector<uint16_t> px = m.shownPicture(&w, &h);
    if (px.empty())
        return {};
    return QImage(reinterpret_cast<const uchar *>(px.data()), w, h, w * 2, QImage::Format_RGB16).copy();
}

} // namespace

class TestPanelFrames : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void logoAndFlipDefaultsArriveOneSecondAfterOpening();
    void droppedPictureIsUprightOnEveryPanelKind_data();
    void droppedPictureIsUprightOnEveryPanelKind();
    void olderFiveInchPanelGetsFrameTwiceWithZeroLead();
    void redButtonFillsPortraitPanel();
    void backlightAndFlipPayloads();
    void panelWithoutFlipsGetsNoFlipCommand();
    void picturesWithoutScreenOnlyUpdatePreview();
    void dropsOfEveryKind();
    void touchDrawsDotAtMappedPlaceAndCleanRemovesIt();
    void unplugWithTouchPendingIsQuiet();
    void clickOnVirtualScreenPutsDotAtMatchingPlace_data();
    void clickOnVirtualScreenPutsDotAtMatchingPlace();

private:
    void drop(const QList<QUrl> &urls, bool withUrls = true);
    std::unique_ptr<PanelFixture> m_f;
    QTemporaryDir m_dir;
    BoxRecorder m_boxes;
};

void TestPanelFrames::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    QVERIFY(m_dir.isValid());
    m_f = std::make_unique<PanelFixture>();
}

void TestPanelFrames::init()
{
    m_boxes.clear();
    m_f->newWindow();
}

void TestPanelFrames::cleanup()
{
    m_f->clear();
}

void TestPanelFrames::drop(const QList<QUrl> &urls, bool withUrls)
{
    QMimeData mime;
    if (withUrls)
        mime.setUrls(urls);
    else
        mime.setText(QStringLiteral("just some text"));
    QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_f->window.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent dropEvent(QPointF(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_f->window.get(), &dropEvent);
}

void TestPanelFrames::logoAndFlipDefaultsArriveOneSecondAfterOpening()
{
    const auto model = m_f->open("6.8in-telv", 11);
    QVERIFY(model);
    QCOMPARE(model->frameSerial(), uint64_t(0));
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= 1, 2500);
    auto *v = m_f->child<QPushButton>("pbVFlip");
    auto *h = m_f->child<QPushButton>("pbHFlip");
    QVERIFY(v->isEnabled() && h->isEnabled());
    QVERIFY(v->isChecked());
    QVERIFY(!h->isChecked());
    QCOMPARE(model->flip().value_or(-1), 1);
    // Setting the default flip sends no second logo.
    QTRY_VERIFY(!m_f->session().framesPending());
    QCOMPARE(model->frameSerial(), uint64_t(1));
    // The default logo is on the glass the right way up, as in the preview.
    QTRY_COMPARE(glass(*model), preview(m_f->display()));
    const QImage logo = QImage(QStringLiteral(":/logo.800x480.png")).convertToFormat(QImage::Format_RGB16);
    QCOMPARE(preview(m_f->display()), logo);
}

void TestPanelFrames::droppedPictureIsUprightOnEveryPanelKind_data()
{
    QTest::addColumn<QString>("preset");
    for (const char *p : {"4in-telv", "4in-square-telv", "7.8in-long-telv", "6.8in-telv", "6.8in-k2t", "7in-telv",
                          "10in-telv", "3.4in-round-telv", "5in-telv", "4.3in-k2t"})
        QTest::newRow(p) << QString::fromLatin1(p);
}

void TestPanelFrames::droppedPictureIsUprightOnEveryPanelKind()
{
    QFETCH(QString, preset);
    const auto model = m_f->open(preset.toLatin1().constData(), 12);
    QVERIFY(model);
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= 1, 2500); // the logo
    const Preset &p = model->preset();
    const QSize size(p.pictureWidth(), p.pictureHeight());
    const QString file = m_dir.filePath(preset + QStringLiteral(".png"));
    QVERIFY(asymmetric(size).save(file));
    model->clearRequests();
    const uint64_t before = model->frameSerial();
    QVERIFY(m_f->pictureAfter([&] { drop({QUrl::fromLocalFile(file)}); }));
    QVERIFY(m_boxes.shown().isEmpty());
    QCOMPARE(model->frameSerial(), before + 1);
    QCOMPARE(preview(m_f->display()), asymmetric(size).convertToFormat(QImage::Format_RGB16));
    QCOMPARE(glass(*model), preview(m_f->display()));

    // Display on, header with the count, then the pixels in one transfer.
    const auto log = model->requests();
    QCOMPARE(log.size(), size_t(3));
    QCOMPARE(log[0].payload, (Bytes{0x00, 0x29}));
    const uint32_t count = uint32_t(size.width() * size.height() * 2);
    QCOMPARE(log[1].payload, (Bytes{0x00, 0x2C, uint8_t(count), uint8_t(count >> 8), uint8_t(count >> 16), 0x00}));
    QCOMPARE(log[2].kind, RequestRecord::Kind::BulkOut);
    QCOMPARE(log[2].bulkLength, count);
}

void TestPanelFrames::olderFiveInchPanelGetsFrameTwiceWithZeroLead()
{
    const auto model = m_f->open("5in-k2t-m50a", 13);
    QVERIFY(model);
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= 2, 2500);
    const FrameStats before = model->frameStats();
    const QString file = m_dir.filePath(QStringLiteral("five.png"));
    QVERIFY(asymmetric(QSize(854, 480)).save(file));
    QVERIFY(m_f->pictureAfter([&] { drop({QUrl::fromLocalFile(file)}); }));
    const FrameStats after = model->frameStats();
    QCOMPARE(after.displayOn - before.displayOn, uint64_t(1));
    QCOMPARE(after.headers - before.headers, uint64_t(2));
    QCOMPARE(after.framesComplete - before.framesComplete, uint64_t(2));
    const Bytes frame = model->lastFrame();
    QCOMPARE(frame.size(), size_t(854 * 480 * 2));
    QVERIFY(std::all_of(frame.begin(), frame.begin() + 320, [](uint8_t b) { return b == 0; }));
    // What the panel shows past its lead is the picture, upright.
    const QImage shown = glass(*model);
    const QImage wanted = asymmetric(QSize(854, 480)).convertToFormat(QImage::Format_RGB16);
    QCOMPARE(shown.pixel(400, 100), wanted.pixel(400, 100));
    QCOMPARE(shown.pixel(2, 2), wanted.pixel(2, 2));

    // The 5-inch TELV panel takes it once.
    m_f->clear();
    m_f->newWindow();
    const auto telv = m_f->open("5in-telv", 13);
    QVERIFY(telv);
    QTRY_VERIFY_WITH_TIMEOUT(telv->frameSerial() >= 1, 2500);
    const uint64_t headers = telv->frameStats().headers;
    QVERIFY(m_f->pictureAfter([&] { drop({QUrl::fromLocalFile(file)}); }));
    QCOMPARE(telv->frameStats().headers - headers, uint64_t(1));
}

void TestPanelFrames::redButtonFillsPortraitPanel()
{
    const auto model = m_f->open("4in-telv", 14);
    QVERIFY(model);
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= 1, 2500);
    // Every pixel of every fill, in the panel's own order and byte order:
    // Qt's pure colours in RGB 5-6-5, low byte first.
    const std::pair<const char *, uint16_t> fills[] = {
        {"pbRed", 0xF800}, {"pbGreen", 0x07E0}, {"pbBlue", 0x001F}, {"pbBlack", 0x0000}, {"pbWhite", 0xFFFF}};
    for (const auto &[button, pixel] : fills) {
        const uint64_t before = model->frameSerial();
        const char *name = button;
        QVERIFY(m_f->pictureAfter([&] { m_f->child<QPushButton>(name)->click(); }));
        QCOMPARE(model->frameSerial(), before + 1);
        const Bytes frame = model->lastFrame();
        QCOMPARE(frame.size(), size_t(768000));
        for (size_t i = 0; i < frame.size(); i += 2)
            if (frame[i] != uint8_t(pixel) || frame[i + 1] != uint8_t(pixel >> 8))
                QFAIL(qPrintable(QStringLiteral("%1: byte %2 is not %3").arg(button).arg(i).arg(pixel, 4, 16)));
        const QImage shown = m_f->display()->pixmap().toImage().convertToFormat(QImage::Format_RGB16);
        QCOMPARE(shown.size(), QSize(800, 480));
        for (int y = 0; y < shown.height(); ++y) {
            const auto *row = reinterpret_cast<const uint16_t *>(shown.constScanLine(y));
            if (!std::all_of(row, row + shown.width(), [pixel = pixel](uint16_t p) { return p == pixel; }))
                QFAIL(qPrintable(QStringLiteral("%1: preview row %2 is not one colour").arg(button).arg(y)));
        }
    }
}

void TestPanelFrames::backlightAndFlipPayloads()
{
    const auto model = m_f->open("7in-telv", 15);
    QVERIFY(model);
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= 1, 2500);
    auto *slider = m_f->child<QSlider>("barBacklight");
    const auto lastPayload = [&model] {
        const auto log = model->requests();
        return log.empty() ? Bytes{} : log.back().payload;
    };
    slider->setValue(0);
    QTRY_COMPARE(lastPayload(), (Bytes{0x00, 0x51, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}));
    slider->setValue(255);
    QTRY_COMPARE(lastPayload(), (Bytes{0x00, 0x51, 0x02, 0x00, 0x00, 0x00, 0xFF, 0x00}));
    slider->setValue(300);
    QCOMPARE(slider->value(), 255);

    model->clearRequests();
    const uint64_t frames = model->frameSerial();
    m_f->child<QPushButton>("pbVFlip")->click();
    QTRY_VERIFY(model->frameSerial() > frames); // the picture follows the first flip
    m_f->child<QPushButton>("pbHFlip")->click();
    QTRY_COMPARE(model->flip().value_or(-1), 3);
    // Each flip command is followed by a whole frame of the picture before
    // the next flip: 0x36, then 0x29, the 0x2C header and its bulk data.
    QTRY_VERIFY(!model->requests().empty() && model->requests().back().kind == RequestRecord::Kind::BulkOut);
    QTest::qWait(100);
    std::vector<Bytes> flips;
    std::vector<int> framesAfter;
    for (const auto &r : model->requests()) {
        if (r.kind == RequestRecord::Kind::Control && r.payload.size() == 8 && r.payload[1] == 0x36) {
            flips.push_back(r.payload);
            framesAfter.push_back(0);
        } else if (r.kind == RequestRecord::Kind::BulkOut && r.bulkLength == 1024 * 600 * 2 && !framesAfter.empty()) {
            ++framesAfter.back();
        }
    }
    QCOMPARE(flips, (std::vector<Bytes>{{0x00, 0x36, 0x02, 0x00, 0x00, 0x00, 0x01, 0x01},
                                        {0x00, 0x36, 0x02, 0x00, 0x00, 0x00, 0x03, 0x03}}));
    QCOMPARE(framesAfter, (std::vector<int>{1, 1}));
    QCOMPARE(model->frameStats().framesAbandoned, uint64_t(0));
}

void TestPanelFrames::panelWithoutFlipsGetsNoFlipCommand()
{
    const auto model = m_f->open("4in-square-telv", 16);
    QVERIFY(model);
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= 1, 2500);
    QVERIFY(!m_f->child("pbVFlip")->isEnabled());
    QVERIFY(!m_f->child("pbHFlip")->isEnabled());
    QVERIFY(!m_f->child<QPushButton>("pbVFlip")->isChecked());
    for (const auto &r : model->requests())
        QVERIFY(!(r.payload.size() == 8 && r.payload[1] == 0x36));
    QVERIFY(!model->flip().has_value());
}

void TestPanelFrames::picturesWithoutScreenOnlyUpdatePreview()
{
    QVERIFY(!m_f->screen());
    QVERIFY(m_f->pictureAfter([&] { m_f->child<QPushButton>("pbBlue")->click(); }));
    QCOMPARE(m_f->display()->pixmap().size(), QSize(800, 480));
    QCOMPARE(m_f->display()->pixmap().toImage().pixelColor(5, 5), QColor(Qt::blue));
    const QString file = m_dir.filePath(QStringLiteral("none.png"));
    QVERIFY(asymmetric(QSize(800, 480)).save(file));
    QVERIFY(m_f->pictureAfter([&] { drop({QUrl::fromLocalFile(file)}); }));
    QCOMPARE(preview(m_f->display()), asymmetric(QSize(800, 480)).convertToFormat(QImage::Format_RGB16));
    QVERIFY(m_boxes.shown().isEmpty());

    // Once a screen is opened, the preview is what it gets.
    const auto model = m_f->open("6.8in-telv", 17);
    QVERIFY(model);
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= 1, 2500);
    QTRY_COMPARE(glass(*model), asymmetric(QSize(800, 480)).convertToFormat(QImage::Format_RGB16));
}

void TestPanelFrames::dropsOfEveryKind()
{
    const auto model = m_f->open("6.8in-telv", 18);
    QVERIFY(model);
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= 1, 2500);
    const QImage pic = asymmetric(QSize(800, 480));

    const QString bmp = m_dir.filePath(QStringLiteral("pic.bmp"));
    QVERIFY(pic.save(bmp, "BMP"));
    QVERIFY(m_f->pictureAfter([&] { drop({QUrl::fromLocalFile(bmp)}); }));
    QVERIFY(m_boxes.shown().isEmpty());
    QCOMPARE(glass(*model), pic.convertToFormat(QImage::Format_RGB16));

    QDir(m_dir.path()).mkdir(QStringLiteral("a folder with spaces"));
    const QString odd = m_dir.filePath(QStringLiteral("a folder with spaces/Größe über #1.png"));
    QImage red(800, 480, QImage::Format_RGB32);
    red.fill(Qt::red);
    QVERIFY(red.save(odd));
    QVERIFY(m_f->pictureAfter([&] { drop({QUrl::fromLocalFile(odd)}); }));
    QVERIFY(m_boxes.shown().isEmpty());
    QCOMPARE(model->lastFrame()[1], uint8_t(0xF8));

    // Several files: the first one only.
    QVERIFY(m_f->pictureAfter([&] { drop({QUrl::fromLocalFile(bmp), QUrl::fromLocalFile(odd)}); }));
    QCOMPARE(glass(*model), pic.convertToFormat(QImage::Format_RGB16));

    const uint64_t frames = model->frameSerial();
    const QString text = m_dir.filePath(QStringLiteral("notes.txt"));
    QFile f(text);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("not a picture\n");
    f.close();
    drop({QUrl::fromLocalFile(text)});
    QCOMPARE(m_boxes.shown(), QStringList{QStringLiteral("Notify|This file do not have a valid pixmap.")});
    drop({QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("missing.png")))});
    QCOMPARE(m_boxes.last(), QStringLiteral("Notify|This file do not have a valid pixmap."));

    m_boxes.clear();
    drop({QUrl(QStringLiteral("https://example.invalid/picture.png"))});
    QCOMPARE(m_boxes.shown(), QStringList{QStringLiteral("Notify|Not a valid file.")});
    m_boxes.clear();
    drop({}, false);
    QCOMPARE(m_boxes.shown(), QStringList{QStringLiteral("Notify|Not a valid file.")});
    // Refused drops leave preview and screen as they were.
    QCOMPARE(model->frameSerial(), frames);
    QCOMPARE(preview(m_f->display()), pic.convertToFormat(QImage::Format_RGB16));
}

void TestPanelFrames::touchDrawsDotAtMappedPlaceAndCleanRemovesIt()
{
    const auto model = m_f->open("10in-telv", 19);
    QVERIFY(model);
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= 1, 2500);
    QVERIFY(m_f->pictureAfter([&] { m_f->child<QPushButton>("pbWhite")->click(); }));
    Preview *label = m_f->display();
    const QImage before = label->grab().toImage();

    model->injectTouch(100, 200, 1);
    QTRY_COMPARE(label->touchPoints().size(), 1);
    QCOMPARE(label->touchPoints()[0].x, 100);
    QCOMPARE(label->touchPoints()[0].y, 200);
    QCOMPARE(label->touchPoints()[0].t, 1);
    // A filled circle 24 pixels across in (80, 255, 0), and nothing else
    // changed: no ring, no outline.
    QImage after = label->grab().toImage();
    const QColor dotColour(80, 255, 0);
    QCOMPARE(after.pixelColor(100, 200), dotColour);
    const QRect box(100 - 12, 200 - 12, 24, 24);
    for (int y = 0; y < after.height(); ++y) {
        for (int x = 0; x < after.width(); ++x) {
            const QColor c = after.pixelColor(x, y);
            const double dx = x + 0.5 - 100;
            const double dy = y + 0.5 - 200;
            const double r = std::sqrt(dx * dx + dy * dy);
            if (!box.contains(x, y) && c != before.pixelColor(x, y))
                QFAIL(qPrintable(QStringLiteral("changed outside the dot at %1,%2").arg(x).arg(y)));
            if (r < 10.5 && c != dotColour)
                QFAIL(qPrintable(QStringLiteral("not the dot colour inside it at %1,%2: %3").arg(x).arg(y).arg(c.name())));
        }
    }
    // 24 pixels across through the middle, both ways (the rasteriser may
    // give one edge row to the background).
    int across = 0;
    int down = 0;
    for (int i = -15; i < 15; ++i) {
        across += after.pixelColor(100 + i, 200) == dotColour;
        down += after.pixelColor(100, 200 + i) == dotColour;
    }
    QVERIFY2(across >= 23 && across <= 24, qPrintable(QString::number(across)));
    QVERIFY2(down >= 23 && down <= 24, qPrintable(QString::number(down)));

    // A dot at the edge is clipped, not lost; t plays no part in drawing.
    model->injectTouch(1023, 0, 0);
    QTRY_COMPARE(label->touchPoints().size(), 2);
    after = label->grab().toImage();
    QCOMPARE(after.pixelColor(1020, 2), dotColour);

    m_f->child<QPushButton>("pbClean")->click();
    QVERIFY(label->touchPoints().isEmpty());
    QCOMPARE(label->grab().toImage().pixelColor(100, 200), before.pixelColor(100, 200));
    m_f->child<QPushButton>("pbClean")->click(); // nothing to clean: only a repaint
    QVERIFY(label->touchPoints().isEmpty());
}

void TestPanelFrames::unplugWithTouchPendingIsQuiet()
{
    const int slot = m_f->attach("6.8in-telv", 20);
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
    const auto model = m_f->bus->model(slot);
    model->injectTouch(100, 30, 1);
    QTRY_COMPARE(m_f->display()->touchPoints().size(), 1);
    QCOMPARE(m_f->display()->touchPoints()[0].x, 700);
    QCOMPARE(m_f->display()->touchPoints()[0].y, 30);
    m_f->bus->unplug(slot);
    QVERIFY(m_f->scanUntil([&] { return !m_f->screen(); }));
    // Touches that arrive after the screen left reach nobody.
    model->injectTouch(1, 1, 1);
    QTest::qWait(200);
    QVERIFY(m_f->display()->touchPoints().isEmpty());
    QTRY_COMPARE(m_f->status(), QStringLiteral("No device."));
}

void TestPanelFrames::clickOnVirtualScreenPutsDotAtMatchingPlace_data()
{
    QTest::addColumn<QString>("preset");
    for (const char *p : {"6.8in-telv", "6.8in-k2t", "4in-telv", "7.8in-long-telv", "7in-telv", "10in-telv",
                          "3.4in-round-telv", "5in-k2t-m50a"})
        QTest::newRow(p) << QString::fromLatin1(p);
}

void TestPanelFrames::clickOnVirtualScreenPutsDotAtMatchingPlace()
{
    QFETCH(QString, preset);
    const int slot = m_f->attach(preset.toLatin1().constData(), 21);
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
    const Preset &p = m_f->bus->model(slot)->preset();
    ScreenViewer viewer(*m_f->bus, slot);
    // The glass at half size, so one click lands on a known picture point.
    viewer.resize(p.pictureWidth() / 2, p.pictureHeight() / 2 + 36);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    const QPoint picturePoint(p.pictureWidth() * 3 / 4, p.pictureHeight() / 5);
    QTest::mouseClick(&viewer, Qt::LeftButton, {}, picturePoint / 2);
    // Press and release: two reports, both at the same place.
    QTRY_COMPARE(m_f->display()->touchPoints().size(), 2);
    for (const TouchPoint &t : m_f->display()->touchPoints()) {
        QVERIFY2(qAbs(t.x - picturePoint.x()) <= 2 && qAbs(t.y - picturePoint.y()) <= 2,
                 qPrintable(QStringLiteral("dot at %1,%2").arg(t.x).arg(t.y)));
    }
}

QTEST_MAIN(TestPanelFrames)
#include "tst_panelframes.moc"
