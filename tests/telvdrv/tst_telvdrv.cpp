// The frame driver: where the desktop lands in the picture, what it
// publishes from a real (virtual) X server, how it paces and ends, and the
// whole chain from a desktop to the glass of a simulated screen through the
// monitor job and the real libusb. Runs under umockdev-wrapper.
#include "castframes.h"
#include "extenddesktop.h"
#include "frameshare.h"
#include "letterbox.h"
#include "monitormode.h"
#include "monitortestsupport.h"
#include "monitorworker.h"
#include "pointerpath.h"
#include "portaltouch.h"
#include "screen.h"
#include "screencastportal.h"
#include "testhook.h"
#include "touchchannel.h"
#include "touchforwarder.h"
#include "usb/virtualbus.h"
#include "waylandtouch.h"

#include <libyuv/scale_argb.h>
#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>

#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace monitor;
using monitortest::Bytes;
using telvdrv::Placement;

namespace {

const QString kDriver = QStringLiteral(TELVDRV_PATH);
constexpr int kPatience = monitortest::kProcessEndPatienceMs;

// Where mutter puts a pointer at `from` moved by `by`: there when that is on
// a monitor, else at the edge of the one it is on.
QPoint mutterMove(const QList<QRect> &monitors, QPoint from, QPoint by)
{
    const QPoint to = from + by;
    if (std::any_of(monitors.begin(), monitors.end(), [&to](const QRect &m) { return m.contains(to); }))
        return to;
    const QRect on = *std::find_if(monitors.begin(), monitors.end(), [&from](const QRect &m) { return m.contains(from); });
    return {std::clamp(to.x(), on.left(), on.right()), std::clamp(to.y(), on.top(), on.bottom())};
}

// The first `width` pixels of each row of a published picture.
Bytes visibleRows(const FrameShare &share, int width, int height)
{
    Bytes out(size_t(width) * size_t(height) * 4);
    for (int y = 0; y < height; ++y)
        std::memcpy(out.data() + size_t(y) * size_t(width) * 4, share.pixels() + size_t(y) * size_t(share.stride()),
                    size_t(width) * 4);
    return out;
}

// Blue, green and red of pixel (x, y) of a tight picture; alpha is not shown.
QByteArray bgr(const Bytes &picture, int width, int x, int y)
{
    const uint8_t *p = picture.data() + (size_t(y) * size_t(width) + size_t(x)) * 4;
    return QByteArray(reinterpret_cast<const char *>(p), 3);
}

// Pixels of a tight picture that are pure `rgb`.
int pixelsOf(const Bytes &picture, uint32_t rgb)
{
    int count = 0;
    for (size_t i = 0; i + 3 < picture.size(); i += 4)
        count += (uint32_t(picture[i + 2]) << 16 | uint32_t(picture[i + 1]) << 8 | picture[i]) == rgb;
    return count;
}

// A message picture: mostly the dark background, with light text on it.
bool looksLikeAMessage(const Bytes &picture)
{
    const int all = int(picture.size() / 4);
    const int background = pixelsOf(picture, 0x303030);
    const int white = pixelsOf(picture, 0xFFFFFF);
    return background > all / 2 && white > 100;
}

// One buffer of a screen cast as a compositor hands it over, made by hand:
// one plane, a header, and damage unless left out.
struct HandBuffer {
    enum class Damage { Region, Nothing, NoMeta };
    spa_chunk chunk{};
    spa_data data{};
    spa_meta_header header{};
    spa_meta_region region{};
    spa_meta metas[2]{};
    spa_buffer buffer{};

    explicit HandBuffer(Damage damage, bool corrupt = false)
    {
        header.flags = corrupt ? SPA_META_HEADER_FLAG_CORRUPTED : 0;
        if (damage == Damage::Region)
            region.region.size = {10, 10};
        metas[0] = {SPA_META_Header, sizeof header, &header};
        metas[1] = {SPA_META_VideoDamage, sizeof region, &region};
        buffer.metas = metas;
        buffer.n_metas = damage == Damage::NoMeta ? 1 : 2;
        buffer.datas = &data;
        buffer.n_datas = 1;
        data.chunk = &chunk;
        data.type = SPA_DATA_MemPtr;
    }
    HandBuffer(const HandBuffer &) = delete;
    HandBuffer &operator=(const HandBuffer &) = delete;
};

} // namespace

class TestTelvdrv : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void letterboxKeepsTheAspect_data();
    void letterboxKeepsTheAspect();
    void composeScalesIntoTheBoxAndBlacksTheBars();
    void rowsStartOnAlignedBoundariesWhenTheyFit();
    void touchesLandWhereThePictureShowsThem_data();
    void touchesLandWhereThePictureShowsThem();
    void castBufferIsCopiedOnlyWhereItsMemoryHoldsIt_data();
    void castBufferIsCopiedOnlyWhereItsMemoryHoldsIt();
    void castChangesOfSkippedBuffersAreNotLost_data();
    void castChangesOfSkippedBuffersAreNotLost();

    void publishesTheDesktopAtTheSizeInTheShare();
    void widerDesktopGetsBlackBarsAboveAndBelow();
    void publishesAtMostRateTimesASecond();
    void endsCleanlyWhenTerminated();
    void endsWhenTheProgramThatStartedItIsGone();
    void endsWhenItsStarterExitsAtOnce();
    void endsAtOnceWhenTheNamedStarterIsNotItsParent();
    void endsWithAMessageWhenTheShareIsCutShort();
    void refusesAShareHeaderThatDoesNotFit();
    void withoutADesktopTheScreenSaysSo();
    void aWaylandSessionWithoutAPortalIsToldOnTheScreen();
    void restoreTokenIsKeptForTheOwnerOnly();
    void restoreTokenIsReadOnlyFromTheUsersOwnFile_data();
    void restoreTokenIsReadOnlyFromTheUsersOwnFile();
    void portalIsAskedForAVirtualMonitorOnceThenWithItsToken();
    void portalIsAskedForWhatTheDesktopCanMake_data();
    void portalIsAskedForWhatTheDesktopCanMake();
    void portalThatSaysNoOrLiesEndsWithAMessage_data();
    void portalThatSaysNoOrLiesEndsWithAMessage();
    void endsAtOnceWhileThePortalAsks();
    void relativeMovesBringThePointerToTheTouchFromAnyMonitor_data();
    void relativeMovesBringThePointerToTheTouchFromAnyMonitor();
    void relativePointerPressesWhereTheFingerIsOnAScaledMonitor();
    void touchesGoThroughTheCastsRemoteDesktopSession_data();
    void touchesGoThroughTheCastsRemoteDesktopSession();
    void tapsReachAPortalAnsweringOnThreadsInTheirOrder_data();
    void tapsReachAPortalAnsweringOnThreadsInTheirOrder();
    void stillDesktopPublishesNothingAfterTheFirstPicture();
    void extendAddsAMonitorOfTheScreensSizeAndGivesItBack();
    void extendAfterADriverKilledOutrightStillGivesTheDesktopBack();
    void extendAsksTheWindowManagerToMoveItsWindowsBack();
    void extendFallsBackToMirrorWhenTheDesktopCannotGrow();
    void touchOnAWindowGoneMeanwhileLeavesNoStalePicture();
    void extendKilledAtAnyStepIsPutBackByTheNextStart_data();
    void extendKilledAtAnyStepIsPutBackByTheNextStart();
    void extendPutsWindowsWhollyOnThePrimaryMonitorUnderOpenbox();
    void picturesKeepTheSizeCheckedAtStart();
    void failingGrabsAreRetriedAtTheRateNotAtOnce();
    void modeComesFromTheVariableThenTheConfigFile();

    void desktopReachesTheScreenThroughTheMonitorWorker();

private:
    // Starts telvdrv on `display` after writing the size into the share.
    // Runs the driver as in a Wayland session whose portal is a
    // `tavrik_fakeportal` started with `portalArguments`, on the desktop
    // `desktop` (XDG_CURRENT_DESKTOP); its exit status, -1 when it did not
    // end, and its standard error.
    int runWithPortal(const QStringList &portalArguments, const QString &mode, const QString &config, QString *errors,
                      const QString &desktop = {});
    bool startDriver(QProcess &driver, const QString &display, int width, int height,
                     QProcess::ProcessChannelMode channels = QProcess::ForwardedChannels,
                     const QString &mode = QStringLiteral("mirror"), const QProcessEnvironment &extra = {});

    std::unique_ptr<FrameShare> m_share;
};

void TestTelvdrv::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    // The drivers the monitor job starts copy the desktop, as tests here expect.
    qputenv(telvdrv::kModeVariable, "mirror");
}

void TestTelvdrv::cleanup()
{
    m_share.reset();
}

void TestTelvdrv::letterboxKeepsTheAspect_data()
{
    QTest::addColumn<QSize>("source");
    QTest::addColumn<QSize>("target");
    QTest::addColumn<QRect>("placed");
    QTest::newRow("same size") << QSize(800, 480) << QSize(800, 480) << QRect(0, 0, 800, 480);
    QTest::newRow("twice the size") << QSize(1600, 960) << QSize(800, 480) << QRect(0, 0, 800, 480);
    QTest::newRow("taller: bars left and right") << QSize(1600, 1000) << QSize(800, 480) << QRect(16, 0, 768, 480);
    QTest::newRow("wider: bars above and below") << QSize(1000, 480) << QSize(800, 480) << QRect(0, 48, 800, 384);
    QTest::newRow("landscape desktop, portrait screen") << QSize(1600, 1000) << QSize(480, 800)
                                                        << QRect(0, 250, 480, 300);
    QTest::newRow("smaller desktop is enlarged") << QSize(400, 240) << QSize(800, 480) << QRect(0, 0, 800, 480);
    QTest::newRow("long panel") << QSize(1920, 1080) << QSize(1280, 400) << QRect(284, 0, 711, 400);
    QTest::newRow("no desktop") << QSize(0, 0) << QSize(800, 480) << QRect(0, 0, 0, 0);
}

void TestTelvdrv::letterboxKeepsTheAspect()
{
    QFETCH(QSize, source);
    QFETCH(QSize, target);
    QFETCH(QRect, placed);
    const Placement p = telvdrv::letterbox(source.width(), source.height(), target.width(), target.height());
    QCOMPARE(QRect(p.x, p.y, p.width, p.height), placed);
}

void TestTelvdrv::touchesLandWhereThePictureShowsThem_data()
{
    // Each row: the picture, the source it was made from, then touches as
    // "x,y,lifted" and what the desktop gets ("D x,y", "M x,y", "U x,y", "-").
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QSize>("source");
    QTest::addColumn<QStringList>("touches");
    QTest::addColumn<QStringList>("steps");
    const QSize screen(800, 480);
    QTest::newRow("extend: the monitor is the picture") << screen << screen
        << QStringList{"0,0,0", "400,240,0", "799,479,0", "799,479,1"}
        << QStringList{"D 0,0", "M 400,240", "M 799,479", "U 799,479"};
    // 600x480 with 100-pixel bars; each picture pixel covers 2.13 desktop ones.
    QTest::newRow("mirror: through the letterbox") << screen << QSize(1280, 1024)
        << QStringList{"50,200,0", "100,0,0", "699,479,0", "700,479,0", "750,10,1"}
        << QStringList{"-", "D 1,1", "M 1278,1022", "-", "U 1278,1022"};
    QTest::newRow("a lift with nothing pressed, an empty source") << screen << QSize(0, 0)
        << QStringList{"10,10,1", "10,10,0"} << QStringList{"-", "-"};
    // A message another program made up: far off the picture.
    QTest::newRow("coordinates off any picture") << screen << screen
        << QStringList{"-2147483648,5,0", "5,2147483647,0", "800,0,0"} << QStringList{"-", "-", "-"};
}

void TestTelvdrv::touchesLandWhereThePictureShowsThem()
{
    QFETCH(QSize, picture);
    QFETCH(QSize, source);
    QFETCH(QStringList, touches);
    QFETCH(QStringList, steps);
    telvdrv::TouchTracker tracker;
    QStringList got;
    for (const QString &t : touches) {
        const QStringList f = t.split(QLatin1Char(','));
        const monitor::Touch touch{f[0].toInt(), f[1].toInt(), f[2] == QLatin1String("1"), 0};
        const auto step = tracker.next(touch, picture.width(), picture.height(), source.width(), source.height());
        if (!step) {
            got << QStringLiteral("-");
            continue;
        }
        const char *phase = step->phase == telvdrv::TouchPhase::Down ? "D" : step->phase == telvdrv::TouchPhase::Move ? "M" : "U";
        got << QStringLiteral("%1 %2,%3").arg(QLatin1String(phase)).arg(step->x).arg(step->y);
    }
    QCOMPARE(got, steps);
}

void TestTelvdrv::composeScalesIntoTheBoxAndBlacksTheBars()
{
    // A 100 x 50 white desktop into 40 x 40 with padded rows that start dirty.
    Bytes white(100 * 50 * 4, 0xFF);
    const int stride = 40 * 4 + 16;
    Bytes target(size_t(stride) * 40, 0x5A);
    telvdrv::compose({white.data(), 100, 50, 400}, target.data(), 40, 40, stride);
    for (int y = 0; y < 40; ++y) {
        const uint8_t *row = target.data() + size_t(y) * stride;
        const bool inside = y >= 10 && y < 30; // 40 x 20, centred
        // libyuv's filter may round white a step or two down.
        for (int x = 0; x < 40 * 4; ++x)
            QVERIFY2(inside ? row[x] >= 0xF0 : row[x] == 0, qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
        // Bytes past the visible row are not the driver's to write.
        for (int x = 40 * 4; x < stride; ++x)
            QCOMPARE(row[x], uint8_t(0x5A));
    }
}

void TestTelvdrv::rowsStartOnAlignedBoundariesWhenTheyFit()
{
    QCOMPARE(telvdrv::chooseStride(800, 480, int64_t(kPixelAreaSize)), 3200);
    QCOMPARE(telvdrv::chooseStride(801, 480, int64_t(kPixelAreaSize)), 3264);
    // No room for padding: tight rows.
    QCOMPARE(telvdrv::chooseStride(801, 480, 801 * 4 * 480), 801 * 4);
}

void TestTelvdrv::castBufferIsCopiedOnlyWhereItsMemoryHoldsIt_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("maxsize");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("stride"); // 0: rows as wide as the picture
    QTest::addColumn<int>("filled"); // the chunk's size
    QTest::addColumn<QString>("memory");
    QTest::addColumn<bool>("taken");
    const int row = 64 * 4;
    const int padded = row + 64;
    const QString heap = QStringLiteral("heap");
    const QString memfd = QStringLiteral("memfd");
    QTest::newRow("tight rows") << QSize(64, 32) << row * 32 << 0 << 0 << row * 32 << heap << true;
    QTest::newRow("padded rows after an offset") << QSize(64, 32) << 100 + padded * 32 << 100 << padded
                                                 << padded * 32 << heap << true;
    QTest::newRow("last row without padding") << QSize(64, 32) << padded * 31 + row << 0 << padded
                                              << padded * 31 + row << heap << true;
    QTest::newRow("less than a row after the offset") << QSize(1920, 1080) << 4096 << 100 << 1920 * 4 << 3996 << heap
                                                      << false;
    QTest::newRow("offset past the end") << QSize(64, 32) << row * 32 << row * 32 + 4 << 0 << 4 << heap << false;
    QTest::newRow("stride times height past the end") << QSize(64, 32) << row * 32 << 0 << row + 4 << row * 32 << heap
                                                      << false;
    QTest::newRow("filled less than the picture") << QSize(64, 32) << row * 32 << 0 << 0 << row * 16 << heap << false;
    QTest::newRow("rows narrower than the picture") << QSize(64, 32) << row * 32 << 0 << row - 4 << row * 32 << heap
                                                    << false;
    // Larger than a page or two, so that a cut leaves most of it unbacked.
    const int wide = 256 * 4 + 64;
    QTest::newRow("memfd") << QSize(256, 64) << 64 + wide * 64 << 64 << wide << wide * 63 + 1024 << memfd << true;
    QTest::newRow("memfd cut short after mapping") << QSize(256, 64) << 64 + wide * 64 << 64 << wide
                                                   << wide * 63 + 1024 << QStringLiteral("memfd cut short") << false;
}

void TestTelvdrv::castBufferIsCopiedOnlyWhereItsMemoryHoldsIt()
{
    QFETCH(QSize, size);
    QFETCH(int, maxsize);
    QFETCH(int, offset);
    QFETCH(int, stride);
    QFETCH(int, filled);
    QFETCH(QString, memory);
    QFETCH(bool, taken);
    Bytes bytes(static_cast<size_t>(maxsize));
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 7 + i / 251);
    HandBuffer hand(HandBuffer::Damage::Region);
    hand.chunk = {uint32_t(offset), uint32_t(filled), stride, 0};
    hand.data.maxsize = uint32_t(maxsize);
    hand.data.data = bytes.data();
    // Mapped past a first page, as PipeWire maps one part of a memfd.
    const long page = sysconf(_SC_PAGESIZE);
    int fd = -1;
    void *mapped = MAP_FAILED;
    const auto unmap = qScopeGuard([&] {
        if (mapped != MAP_FAILED)
            munmap(mapped, size_t(maxsize));
        if (fd >= 0)
            close(fd);
    });
    if (memory.startsWith(QLatin1String("memfd"))) {
        fd = memfd_create("cast", MFD_CLOEXEC);
        QVERIFY(fd >= 0);
        QCOMPARE(pwrite(fd, bytes.data(), bytes.size(), page), ssize_t(bytes.size()));
        mapped = mmap(nullptr, size_t(maxsize), PROT_READ, MAP_SHARED, fd, page);
        QVERIFY(mapped != MAP_FAILED);
        hand.data = {SPA_DATA_MemFd, 0, fd, uint32_t(page), uint32_t(maxsize), mapped, &hand.chunk};
        // The compositor takes its memory back while we look.
        if (memory.endsWith(QLatin1String("cut short")))
            QCOMPARE(ftruncate(fd, page + 4096), 0);
    }
    telvdrv::CastFrames frames;
    frames.setFormat(size.width(), size.height());
    std::vector<uint8_t> picture;
    std::string why;
    const telvdrv::CastFrames::Outcome outcome = frames.take(&hand.buffer, picture, &why);
    QCOMPARE(outcome == telvdrv::CastFrames::Outcome::Taken, taken);
    if (!taken) {
        QCOMPARE(outcome, telvdrv::CastFrames::Outcome::Refused);
        QVERIFY(!why.empty());
        return;
    }
    const size_t row = size_t(size.width()) * 4;
    const size_t step = stride > 0 ? size_t(stride) : row;
    for (int y = 0; y < size.height(); ++y)
        QVERIFY2(std::memcmp(picture.data() + size_t(y) * row, bytes.data() + size_t(offset) + size_t(y) * step, row)
                     == 0,
                 qPrintable(QString::number(y)));
}

void TestTelvdrv::castChangesOfSkippedBuffersAreNotLost_data()
{
    // Each process call's buffers, oldest first, the last one the one
    // copied: d says what changed, n says nothing did, m has no damage at
    // all, c and e say what changed but are corrupt or empty.
    QTest::addColumn<QString>("calls");
    // Per call: t for a picture taken, u for none.
    QTest::addColumn<QString>("taken");
    QTest::newRow("the first picture needs no damage") << QStringLiteral("n") << QStringLiteral("t");
    QTest::newRow("nothing new after it") << QStringLiteral("n n") << QStringLiteral("tu");
    QTest::newRow("damage only in a skipped buffer") << QStringLiteral("n dn") << QStringLiteral("tt");
    QTest::newRow("damage of a corrupt buffer carried over") << QStringLiteral("n c n") << QStringLiteral("tut");
    QTest::newRow("damage of an empty buffer carried over") << QStringLiteral("n ne n") << QStringLiteral("tut");
    QTest::newRow("without damage every buffer counts") << QStringLiteral("m m") << QStringLiteral("tt");
    QTest::newRow("taken once, then quiet") << QStringLiteral("n dd n") << QStringLiteral("ttu");
}

void TestTelvdrv::castChangesOfSkippedBuffersAreNotLost()
{
    QFETCH(QString, calls);
    QFETCH(QString, taken);
    Bytes bytes(64 * 4 * 32, 0x40);
    telvdrv::CastFrames frames;
    frames.setFormat(64, 32);
    std::vector<uint8_t> picture;
    std::string why;
    QString got;
    for (const QString &call : calls.split(QLatin1Char(' '))) {
        for (qsizetype i = 0; i < call.size(); ++i) {
            const char kind = call[i].toLatin1();
            HandBuffer hand(kind == 'm'   ? HandBuffer::Damage::NoMeta
                            : kind == 'n' ? HandBuffer::Damage::Nothing
                                          : HandBuffer::Damage::Region,
                            kind == 'c');
            hand.chunk = {0, kind == 'e' ? 0 : uint32_t(bytes.size()), 0, 0};
            hand.data.maxsize = uint32_t(bytes.size());
            hand.data.data = bytes.data();
            if (i + 1 < call.size())
                frames.skip(&hand.buffer);
            else
                got += frames.take(&hand.buffer, picture, &why) == telvdrv::CastFrames::Outcome::Taken ? 't' : 'u';
        }
    }
    QCOMPARE(got, taken);
}

bool TestTelvdrv::startDriver(QProcess &driver, const QString &display, int width, int height,
                              QProcess::ProcessChannelMode channels, const QString &mode,
                              const QProcessEnvironment &extra)
{
    m_share = openFrameShare();
    if (!m_share)
        return false;
    m_share->writeSize(width, height);
    m_share->setStride(0);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QLatin1String(telvdrv::kModeVariable), mode);
    env.remove(QStringLiteral("XDG_SESSION_TYPE"));
    env.insert(extra);
    driver.setProcessEnvironment(env);
    driver.setProcessChannelMode(channels);
    driver.start(kDriver, {});
    return driver.waitForStarted(5000);
}

void TestTelvdrv::publishesTheDesktopAtTheSizeInTheShare()
{
    monitortest::Xvfb x;
    const QString error = x.start(QSize(800, 480));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    const Bytes desktop = monitortest::showOnDesktop(x.display(), monitortest::pattern(800, 480, 3200, 2),
                                                     QSize(800, 480));
    QVERIFY(!desktop.empty());
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 800, 480));
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    QVERIFY(m_share->stride() >= 3200);
    QCOMPARE(m_share->stride() % 64, 0);
    QVERIFY(visibleRows(*m_share, 800, 480) == desktop);
    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
}

void TestTelvdrv::widerDesktopGetsBlackBarsAboveAndBelow()
{
    monitortest::Xvfb x;
    const QString error = x.start(QSize(1000, 480));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    const Bytes desktop = monitortest::showOnDesktop(x.display(), monitortest::pattern(1000, 480, 4000, 3),
                                                     QSize(1000, 480));
    QVERIFY(!desktop.empty());
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 800, 480));
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    const Bytes shown = visibleRows(*m_share, 800, 480);
    // The desktop scaled to 800 x 384 between two bars of 48 rows.
    Bytes scaled(800 * 384 * 4);
    libyuv::ARGBScale(desktop.data(), 4000, 1000, 480, scaled.data(), 3200, 800, 384, libyuv::kFilterBox);
    for (int y : {0, 47, 432, 479})
        for (int xx : {0, 399, 799})
            QCOMPARE(bgr(shown, 800, xx, y), QByteArray(3, '\0'));
    QVERIFY(std::memcmp(shown.data() + 48 * 3200, scaled.data(), scaled.size()) == 0);
    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
}

void TestTelvdrv::publishesAtMostRateTimesASecond()
{
    monitortest::Xvfb x;
    const QString error = x.start(QSize(320, 240));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    // A program redrawing itself far more often than the rate.
    std::atomic<bool> painting{true};
    std::thread painter([&painting, display = x.display()] {
        monitortest::TestWindow window(display, QRect(10, 10, 100, 100), 0xFF0000);
        for (uint32_t i = 0; painting; ++i) {
            window.paint(i % 2 ? 0xFF0000 : 0x0000FF);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const auto stopPainting = qScopeGuard([&] {
        painting = false;
        painter.join();
    });
    QProcess driver;
    // 1024 x 600 runs at the lowest rate, 24 a second.
    QVERIFY(startDriver(driver, x.display(), 1024, 600));
    QCOMPARE(m_share->rate(), 24);
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    int pictures = 0;
    QElapsedTimer t;
    t.start();
    qint64 previous = 0;
    std::vector<qint64> gaps;
    while (t.elapsed() < 2000) {
        if (waitFrame(*m_share, 100) != FrameWait::Picture)
            continue;
        ++pictures;
        const qint64 at = t.nsecsElapsed() / 1000000;
        if (pictures > 1)
            gaps.push_back(at - previous);
        previous = at;
    }
    QVERIFY2(pictures <= 2 * 24 + 1, qPrintable(QString::number(pictures)));
    QVERIFY2(pictures >= 10, qPrintable(QString::number(pictures)));
    // One period is 41.7 ms. Our own wake-up may come late for one picture
    // and on time for the next, so one gap may look short; most may not.
    std::sort(gaps.begin(), gaps.end());
    QVERIFY2(gaps[gaps.size() / 2] >= 35, qPrintable(QString::number(gaps[gaps.size() / 2])));
    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
}

void TestTelvdrv::endsCleanlyWhenTerminated()
{
    monitortest::Xvfb x;
    const QString error = x.start(QSize(640, 480));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 480, 800));
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    QElapsedTimer t;
    t.start();
    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
    QVERIFY(t.elapsed() < 1000);
    QCOMPARE(driver.exitStatus(), QProcess::NormalExit);
    QCOMPARE(driver.exitCode(), 0);
}

void TestTelvdrv::endsWhenTheProgramThatStartedItIsGone()
{
    monitortest::Xvfb x;
    const QString error = x.start(QSize(640, 480));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    m_share = openFrameShare();
    QVERIFY(m_share);
    m_share->writeSize(320, 240);
    // A shell starts the driver and ends soon after, as a crashing program would.
    QProcess shell;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), x.display());
    shell.setProcessEnvironment(env);
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("\"$0\" & echo $!; sleep 0.3"), kDriver});
    QVERIFY(shell.waitForFinished(5000));
    bool ok = false;
    const qint64 driver = shell.readAllStandardOutput().trimmed().toLongLong(&ok);
    QVERIFY(ok);
    QVERIFY(monitortest::waitGone(driver));
}

void TestTelvdrv::endsWhenItsStarterExitsAtOnce()
{
    // The shell names itself as the starter and ends without waiting: the
    // driver either finds another parent once it asked to go along, or is
    // told by the exit signal it asked for. Either way it goes.
    monitortest::Xvfb x;
    const QString error = x.start(QSize(640, 480));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    m_share = openFrameShare();
    QVERIFY(m_share);
    m_share->writeSize(320, 240);
    QProcess shell;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), x.display());
    shell.setProcessEnvironment(env);
    shell.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), QStringLiteral("%1=$$ \"$0\" & echo $!").arg(QLatin1String(kParentPidVariable)),
                 kDriver});
    QVERIFY(shell.waitForFinished(5000));
    bool ok = false;
    const qint64 driver = shell.readAllStandardOutput().trimmed().toLongLong(&ok);
    QVERIFY(ok);
    QVERIFY(monitortest::waitGone(driver));
}

void TestTelvdrv::endsAtOnceWhenTheNamedStarterIsNotItsParent()
{
    // What a driver whose starter died before it asked to go along sees:
    // its parent is no longer the process it was told about.
    monitortest::Xvfb x;
    const QString error = x.start(QSize(640, 480));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    m_share = openFrameShare();
    QVERIFY(m_share);
    m_share->writeSize(320, 240);
    QProcess driver;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), x.display());
    env.insert(QLatin1String(kParentPidVariable), QStringLiteral("1"));
    driver.setProcessEnvironment(env);
    driver.start(kDriver, {});
    QVERIFY(driver.waitForFinished(kPatience));
    QCOMPARE(driver.exitStatus(), QProcess::NormalExit);
    QCOMPARE(driver.exitCode(), 0);
    QVERIFY(driver.readAllStandardError().contains("the program that started it has ended"));
    QCOMPARE(waitFrame(*m_share, 0), FrameWait::TimedOut);

    // Told the truth, the same driver runs.
    env.insert(QLatin1String(kParentPidVariable), QString::number(QCoreApplication::applicationPid()));
    driver.setProcessEnvironment(env);
    driver.start(kDriver, {});
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
    QCOMPARE(driver.exitCode(), 0);
}

void TestTelvdrv::endsWithAMessageWhenTheShareIsCutShort()
{
    monitortest::Xvfb x;
    const QString error = x.start(QSize(640, 480));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 480, 800, QProcess::SeparateChannels));
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    // Cut short by another program of ours; our own mapping is left alone
    // from here on.
    QVERIFY(monitortest::shrinkShared(defaultShareName(), 0));
    QVERIFY(driver.waitForFinished(kPatience));
    QCOMPARE(driver.exitStatus(), QProcess::NormalExit);
    QCOMPARE(driver.exitCode(), 4);
    QVERIFY(driver.readAllStandardError().contains("the frame share was made smaller while in use"));
}

void TestTelvdrv::refusesAShareHeaderThatDoesNotFit()
{
    for (QSize size : {QSize(0, 480), QSize(4096, 4096), QSize(-800, 480)}) {
        QProcess driver;
        QVERIFY(startDriver(driver, QStringLiteral(":0"), size.width(), size.height()));
        QVERIFY(driver.waitForFinished(kPatience));
        QCOMPARE(driver.exitStatus(), QProcess::NormalExit);
        QCOMPARE(driver.exitCode(), 2);
        QCOMPARE(waitFrame(*m_share, 0), FrameWait::TimedOut);
    }
}

void TestTelvdrv::withoutADesktopTheScreenSaysSo()
{
    QProcess driver;
    QVERIFY(startDriver(driver, QStringLiteral(":4095"), 800, 480, QProcess::SeparateChannels));
    QVERIFY(driver.waitForFinished(10000));
    QCOMPARE(driver.exitCode(), 3);
    QVERIFY(QString::fromUtf8(driver.readAllStandardError()).contains(QStringLiteral("No desktop to share was found")));
    QCOMPARE(waitFrame(*m_share, 1000), FrameWait::Picture);
    QVERIFY(looksLikeAMessage(visibleRows(*m_share, 800, 480)));
}

void TestTelvdrv::aWaylandSessionWithoutAPortalIsToldOnTheScreen()
{
    // Its X server only sees the programs that use it, so the portal is
    // asked; without one the screen says so instead of staying black.
    monitortest::Xvfb x;
    const QString error = x.start(QSize(640, 480));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    QTemporaryDir noBus;
    QVERIFY(noBus.isValid());
    QProcessEnvironment wayland;
    wayland.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    wayland.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=") + noBus.filePath("bus"));
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 480, 800, QProcess::SeparateChannels, QStringLiteral("extend"), wayland));
    QVERIFY(driver.waitForFinished(10000));
    QCOMPARE(driver.exitCode(), 3);
    QVERIFY(QString::fromUtf8(driver.readAllStandardError()).contains(QStringLiteral("Screen sharing is not available")));
    QCOMPARE(waitFrame(*m_share, 1000), FrameWait::Picture);
    QVERIFY(looksLikeAMessage(visibleRows(*m_share, 480, 800)));
    // The X server was left alone.
    QCOMPARE(monitortest::desktopSize(x.display()), QSize(640, 480));
    QCOMPARE(monitortest::monitors(x.display()).size(), 1);
}

void TestTelvdrv::restoreTokenIsKeptForTheOwnerOnly()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("config/tavrik/screencast-token"));
    const mode_t umaskBefore = umask(0);
    const auto restore = qScopeGuard([umaskBefore] { umask(umaskBefore); });
    QVERIFY(telvdrv::saveRestoreToken(path, QStringLiteral("first")));
    QVERIFY(telvdrv::saveRestoreToken(path, QStringLiteral("second")));
    struct stat st{};
    QCOMPARE(stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0600));
    // Replaced whole, no temporary left beside it.
    QCOMPARE(telvdrv::loadRestoreToken(path), QStringLiteral("second"));
    QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files), QStringList{QStringLiteral("screencast-token")});
}

void TestTelvdrv::restoreTokenIsReadOnlyFromTheUsersOwnFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("token");
    QTest::newRow("the user's own") << QStringLiteral("own") << QStringLiteral("tok-7");
    QTest::newRow("others may read it") << QStringLiteral("open") << QString();
    QTest::newRow("missing") << QStringLiteral("missing") << QString();
    QTest::newRow("too large for a token") << QStringLiteral("large") << QString();
    QTest::newRow("a FIFO") << QStringLiteral("fifo") << QString();
    QTest::newRow("a link to another file of the user's") << QStringLiteral("link") << QString();
    QTest::newRow("a folder") << QStringLiteral("folder") << QString();
}

void TestTelvdrv::restoreTokenIsReadOnlyFromTheUsersOwnFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, token);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("screencast-token"));
    const QByteArray native = QFile::encodeName(path);
    const auto write = [](const QString &at, const QByteArray &bytes, QFile::Permissions permissions) {
        QFile file(at);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.setPermissions(permissions);
    };
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    if (kind == QLatin1String("own"))
        QVERIFY(write(path, "tok-7\n", ownerOnly));
    else if (kind == QLatin1String("open"))
        QVERIFY(write(path, "tok-7", ownerOnly | QFile::ReadOther));
    else if (kind == QLatin1String("large"))
        QVERIFY(write(path, QByteArray(1 << 20, 'x'), ownerOnly));
    else if (kind == QLatin1String("fifo"))
        QCOMPARE(mkfifo(native.constData(), 0600), 0);
    else if (kind == QLatin1String("link"))
        QVERIFY(write(dir.filePath(QStringLiteral("other")), "tok-7", ownerOnly)
                && QFile::link(dir.filePath(QStringLiteral("other")), path));
    else if (kind == QLatin1String("folder"))
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("screencast-token")));

    auto loading = std::async(std::launch::async, [path] { return telvdrv::loadRestoreToken(path); });
    if (loading.wait_for(std::chrono::milliseconds(kPatience)) != std::future_status::ready) {
        // A writer lets the stuck reader go, so that the test can end; not
        // through open(), which umockdev's wrapper holds locked meanwhile.
        const int writer = int(syscall(SYS_openat, AT_FDCWD, native.constData(), O_WRONLY | O_NONBLOCK));
        if (writer >= 0)
            close(writer);
        loading.wait();
        QFAIL("reading the token hung");
    }
    QCOMPARE(loading.get(), token);
}

namespace {

// A whole first line, however long a loaded machine takes to start the
// program; false when it ends or says nothing.
bool waitForLine(QProcess &p)
{
    QElapsedTimer t;
    t.start();
    while (!p.canReadLine() && t.elapsed() < kPatience)
        if (!p.waitForReadyRead(int(kPatience - t.elapsed())))
            break;
    return p.canReadLine();
}

// A session bus of the test's own.
class SessionBus {
public:
    SessionBus()
    {
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (m_daemon.waitForStarted(kPatience) && waitForLine(m_daemon))
            m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }
    ~SessionBus()
    {
        m_daemon.kill();
        m_daemon.waitForFinished(kPatience);
    }
    SessionBus(const SessionBus &) = delete;
    SessionBus &operator=(const SessionBus &) = delete;
    QString address() const { return m_address; }

private:
    QProcess m_daemon;
    QString m_address;
};

// The stand-in portal on a bus of its own, and what a driver in that
// Wayland session sees.
class FakePortal {
public:
    explicit FakePortal(const QStringList &arguments)
    {
        if (m_bus.address().isEmpty())
            return;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_bus.address());
        m_portal.setProcessEnvironment(env);
        // What goes wrong in it shows in the test's output.
        m_portal.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Started again once if it died before saying so: a sanitizer's
        // runtime has failed its own start on a loaded machine.
        for (int attempt = 0; attempt < 2 && !m_ready; ++attempt) {
            m_portal.start(QStringLiteral(FAKEPORTAL_PATH), arguments);
            m_ready = waitForLine(m_portal) && m_portal.readLine().startsWith("ready");
            if (!m_ready) {
                m_portal.kill();
                m_portal.waitForFinished(kPatience);
            }
        }
    }
    ~FakePortal()
    {
        m_portal.kill();
        m_portal.waitForFinished(kPatience);
    }
    FakePortal(const FakePortal &) = delete;
    FakePortal &operator=(const FakePortal &) = delete;
    bool ready() const { return m_ready; }
    QString address() const { return m_bus.address(); }
    QProcessEnvironment session(const QString &config, const QString &desktop = {}) const
    {
        QProcessEnvironment env;
        env.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
        env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), desktop);
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_bus.address());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        return env;
    }

private:
    SessionBus m_bus;
    QProcess m_portal;
    bool m_ready = false;
};

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

int TestTelvdrv::runWithPortal(const QStringList &portalArguments, const QString &mode, const QString &config,
                               QString *errors, const QString &desktop)
{
    const FakePortal portal(portalArguments);
    if (!portal.ready()) {
        *errors = QStringLiteral("the stand-in portal did not come up");
        return -2;
    }
    QProcess driver;
    if (!startDriver(driver, QStringLiteral(":4095"), 800, 480, QProcess::SeparateChannels, mode,
                     portal.session(config, desktop))) {
        *errors = QStringLiteral("the driver did not start");
        return -2;
    }
    const bool ended = driver.waitForFinished(15000);
    if (!ended) {
        driver.kill();
        driver.waitForFinished(kPatience);
    }
    *errors = QString::fromUtf8(driver.readAllStandardError());
    if (!ended)
        errors->prepend(QStringLiteral("the driver did not end; it said: "));
    return ended && driver.exitStatus() == QProcess::NormalExit ? driver.exitCode() : -1;
}

void TestTelvdrv::portalIsAskedForAVirtualMonitorOnceThenWithItsToken()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString record = dir.filePath(QStringLiteral("calls"));
    const QString config = dir.filePath(QStringLiteral("config"));
    const QString token = config + QStringLiteral("/tavrik/screencast-token");
    // A portal with virtual monitors and an embedded pointer (GNOME, KDE).
    const QStringList portal{QStringLiteral("--record"), record, QStringLiteral("--types"), QStringLiteral("7"),
                             QStringLiteral("--cursors"), QStringLiteral("7")};

    QString errors;
    // Its PipeWire remote is dead at once: the screen says sharing ended.
    QVERIFY2(runWithPortal(portal, QStringLiteral("extend"), config, &errors) == 3, qPrintable(errors));
    QVERIFY2(errors.contains(QStringLiteral("Screen sharing ended")), qPrintable(errors));
    QCOMPARE(waitFrame(*m_share, 1000), FrameWait::Picture);
    QVERIFY(looksLikeAMessage(visibleRows(*m_share, 800, 480)));
    QCOMPARE(readLines(record), (QStringList{QStringLiteral("CreateSession"),
                                             QStringLiteral("SelectSources cursor_mode=2 multiple=false persist_mode=2 types=4"),
                                             QStringLiteral("Start"), QStringLiteral("OpenPipeWireRemote")}));
    QCOMPARE(telvdrv::loadRestoreToken(token), QStringLiteral("tok-1"));

    // The next start hands the token back, so the user is not asked again,
    // and keeps the one the portal gives then.
    QFile::remove(record);
    QVERIFY2(runWithPortal(portal, QStringLiteral("extend"), config, &errors) == 3, qPrintable(errors));
    QCOMPARE(readLines(record).value(1),
             QStringLiteral("SelectSources cursor_mode=2 multiple=false persist_mode=2 restore_token=tok-1 types=4"));
    QCOMPARE(telvdrv::loadRestoreToken(token), QStringLiteral("tok-2"));

    // Mirror mode shares a real monitor, which the user picks: with a token
    // of its own, since a portal restores only the kind of source it is
    // asked for.
    for (const QString &handedBack : {QString(), QStringLiteral(" restore_token=tok-1")}) {
        QFile::remove(record);
        QVERIFY2(runWithPortal(portal, QStringLiteral("mirror"), config, &errors) == 3, qPrintable(errors));
        QCOMPARE(readLines(record).value(1),
                 QStringLiteral("SelectSources cursor_mode=2 multiple=false persist_mode=2%1 types=1").arg(handedBack));
    }
    QCOMPARE(telvdrv::loadRestoreToken(token + QStringLiteral("-mirror")), QStringLiteral("tok-2"));
    QCOMPARE(telvdrv::loadRestoreToken(token), QStringLiteral("tok-2"));
}

void TestTelvdrv::portalIsAskedForWhatTheDesktopCanMake_data()
{
    QTest::addColumn<QString>("desktop");
    QTest::addColumn<int>("advertised");
    QTest::addColumn<int>("chosen"); // the stream's source type; 0: not said
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("asked");
    QTest::addColumn<bool>("virtualMonitor");
    const auto row = [](const char *name, const char *desktop, int advertised, int chosen, const char *mode, int asked,
                        bool virtualMonitor) {
        QTest::newRow(name) << QString::fromLatin1(desktop) << advertised << chosen << QString::fromLatin1(mode)
                            << asked << virtualMonitor;
    };
    // GNOME before 44 makes virtual monitors without advertising them.
    row("GNOME 43, virtual chosen", "GNOME", 3, 4, "extend", 5, true);
    row("GNOME 43, a monitor chosen", "GNOME", 3, 1, "extend", 5, false);
    row("GNOME 43, choice not said", "GNOME", 3, 0, "extend", 5, false);
    row("Ubuntu's GNOME", "ubuntu:GNOME", 3, 4, "extend", 5, true);
    row("GNOME 43, mirror", "GNOME", 3, 1, "mirror", 1, false);
    row("GNOME 44", "GNOME", 7, 4, "extend", 4, true);
    // Its virtual output fails: a monitor, as on other desktops.
    row("KDE Plasma 5", "KDE", 3, 1, "extend", 1, false);
    row("advertised, choice not said", "KDE", 7, 0, "extend", 4, true);
    row("sway", "sway", 1, 0, "extend", 1, false);
}

void TestTelvdrv::portalIsAskedForWhatTheDesktopCanMake()
{
    QFETCH(QString, desktop);
    QFETCH(int, advertised);
    QFETCH(int, chosen);
    QFETCH(QString, mode);
    QFETCH(int, asked);
    QFETCH(bool, virtualMonitor);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString record = dir.filePath(QStringLiteral("calls"));
    QStringList portal{QStringLiteral("--record"), record, QStringLiteral("--types"), QString::number(advertised)};
    if (chosen != 0)
        portal << QStringLiteral("--source-type") << QString::number(chosen);
    QString errors;
    QVERIFY2(runWithPortal(portal, mode, dir.filePath(QStringLiteral("config")), &errors, desktop) == 3,
             qPrintable(errors));
    const QString selected = readLines(record).value(1);
    QVERIFY2(selected.endsWith(QStringLiteral(" types=%1").arg(asked)), qPrintable(selected));
    // A real monitor in extend mode is said: it is shown whole, not as a
    // monitor of the screen's size.
    QCOMPARE(errors.contains(QStringLiteral("not a virtual one")), mode == QLatin1String("extend") && !virtualMonitor);
}

void TestTelvdrv::portalThatSaysNoOrLiesEndsWithAMessage_data()
{
    QTest::addColumn<QStringList>("portal");
    QTest::addColumn<QString>("said");
    QTest::newRow("user refuses the choice") << QStringList{QStringLiteral("--refuse"), QStringLiteral("SelectSources")}
                                             << QStringLiteral("Screen sharing was refused");
    QTest::newRow("user cancels at start") << QStringList{QStringLiteral("--refuse"), QStringLiteral("Start")}
                                           << QStringLiteral("Screen sharing was refused");
    QTest::newRow("no session") << QStringList{QStringLiteral("--refuse"), QStringLiteral("CreateSession")}
                                << QStringLiteral("Screen sharing was refused");
    QTest::newRow("streams of the wrong type")
        << QStringList{QStringLiteral("--bad-streams"), QStringLiteral("string")}
        << QStringLiteral("Screen sharing was refused");
    QTest::newRow("streams of the wrong elements")
        << QStringList{QStringLiteral("--bad-streams"), QStringLiteral("strings")}
        << QStringLiteral("Screen sharing was refused");
}

void TestTelvdrv::portalThatSaysNoOrLiesEndsWithAMessage()
{
    QFETCH(QStringList, portal);
    QFETCH(QString, said);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString config = dir.filePath(QStringLiteral("config"));
    QString errors;
    QVERIFY2(runWithPortal(portal, QStringLiteral("extend"), config, &errors) == 3, qPrintable(errors));
    QVERIFY2(errors.contains(said), qPrintable(errors));
    QCOMPARE(waitFrame(*m_share, 1000), FrameWait::Picture);
    QVERIFY(looksLikeAMessage(visibleRows(*m_share, 800, 480)));
    // Nothing to be asked back with: no token kept.
    QVERIFY(!QFileInfo::exists(config + QStringLiteral("/tavrik/screencast-token")));
}

void TestTelvdrv::endsAtOnceWhileThePortalAsks()
{
    // The portal's dialog is up and nobody answers: monitor mode is
    // stopped meanwhile.
    QTemporaryDir config;
    const QString record = config.filePath(QStringLiteral("calls"));
    const FakePortal portal({QStringLiteral("--record"), record, QStringLiteral("--silent"),
                             QStringLiteral("SelectSources")});
    QVERIFY(portal.ready());
    QProcess driver;
    QVERIFY(startDriver(driver, QStringLiteral(":4095"), 800, 480, QProcess::SeparateChannels,
                        QStringLiteral("extend"), portal.session(config.path())));
    QTRY_VERIFY_WITH_TIMEOUT(readLines(record).value(1).startsWith(QLatin1String("SelectSources")), kPatience);
    QCOMPARE(driver.state(), QProcess::Running);
    QElapsedTimer t;
    t.start();
    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
    // Far below the 25 s a call blocked on the portal's answer would wait,
    // and roomy for a loaded machine.
    QVERIFY2(t.elapsed() < 10000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(driver.exitCode(), 0);
    // Stopped by the user: no message of its own.
    QCOMPARE(waitFrame(*m_share, 200), FrameWait::TimedOut);
}

void TestTelvdrv::relativeMovesBringThePointerToTheTouchFromAnyMonitor_data()
{
    // The monitors, the screen's last; the point touched on it. A path is
    // expected wherever monitors touch, as desktops lay them out.
    QTest::addColumn<QList<QRect>>("monitors");
    QTest::addColumn<QPoint>("target");
    const QRect screen(1920, 0, 800, 480);
    QTest::newRow("to the right of the desktop") << QList<QRect>{{0, 0, 1920, 1080}, screen} << QPoint(2100, 300);
    QTest::newRow("alone") << QList<QRect>{{0, 0, 800, 480}} << QPoint(0, 0);
    QTest::newRow("left of it, lower") << QList<QRect>{{800, 0, 1280, 800}, {0, 500, 800, 480}} << QPoint(799, 979);
    QTest::newRow("below, at its middle") << QList<QRect>{{0, 0, 1920, 1080}, {560, 1080, 800, 480}}
                                          << QPoint(560, 1080);
    QTest::newRow("between two") << QList<QRect>{{0, 0, 1920, 1080}, {2720, 0, 1280, 1024}, screen}
                                 << QPoint(2000, 479);
    QTest::newRow("a mirrored pair and a tall one")
        << QList<QRect>{{0, 300, 1280, 800}, {0, 300, 1280, 800}, {1280, 0, 1080, 1920}, {2360, 700, 480, 800}}
        << QPoint(2500, 1200);
}

void TestTelvdrv::relativeMovesBringThePointerToTheTouchFromAnyMonitor()
{
    QFETCH(QList<QRect>, monitors);
    QFETCH(QPoint, target);
    const std::vector<QRect> layout(monitors.begin(), monitors.end());
    const std::optional<std::vector<QPoint>> path = telvdrv::pointerPath(layout, target);
    QVERIFY(path);
    for (const QRect &m : monitors) {
        for (const QPoint start : {m.topLeft(), m.bottomRight(), m.center(), m.topRight() + QPoint(-1, 1)}) {
            QPoint at = start;
            for (const QPoint by : *path)
                at = mutterMove(monitors, at, by);
            QVERIFY2(at == target, qPrintable(QStringLiteral("from (%1, %2) it ends at (%3, %4)")
                                                  .arg(start.x()).arg(start.y()).arg(at.x()).arg(at.y())));
        }
    }
    QVERIFY(!telvdrv::pointerPath(layout, QPoint(-5, -5)));
}

void TestTelvdrv::relativePointerPressesWhereTheFingerIsOnAScaledMonitor()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString record = dir.filePath(QStringLiteral("calls"));
    const FakePortal fake({QStringLiteral("--record"), record, QStringLiteral("--remote-desktop"), QStringLiteral("1")});
    QVERIFY(fake.ready());
    const QString name = QStringLiteral("fake-portal-bus");
    const auto disconnect = qScopeGuard([&name] { QDBusConnection::disconnectFromBus(name); });
    // The screen's 800x480 pictures on a monitor at scale 2, left of the desktop.
    const QList<QRect> monitors{{400, 0, 1920, 1080}, {0, 600, 400, 240}};
    std::optional<telvdrv::DesktopLayout> layout =
        telvdrv::DesktopLayout{{monitors.begin(), monitors.end()}, monitors[1], QSize(800, 480)};
    std::thread([&] {
        telvdrv::PortalTouch touch(QDBusConnection::connectToBus(fake.address(), name), QStringLiteral("/s"), 42,
                                   telvdrv::PortalDevice::RelativePointer,
                                   [&layout](std::string *why) {
                                       *why = "no layout";
                                       return layout;
                                   });
        touch.inject(telvdrv::TouchPhase::Down, 200, 100);
        touch.inject(telvdrv::TouchPhase::Move, 210, 104);
        touch.inject(telvdrv::TouchPhase::Up, 210, 104);
        // Not knowing where the monitor is, nothing is sent.
        layout.reset();
        touch.inject(telvdrv::TouchPhase::Down, 200, 100);
        touch.inject(telvdrv::TouchPhase::Up, 200, 100);
    }).join();
    const QStringList calls = readLines(record);
    const qsizetype press = calls.indexOf(QStringLiteral("RemoteDesktop.NotifyPointerButton button=272 state=1 on an unknown session"));
    QVERIFY2(press > 0 && calls.size() == press + 3, qPrintable(calls.join(QLatin1Char('\n'))));
    QCOMPARE(calls.mid(press + 1), (QStringList{QStringLiteral("RemoteDesktop.NotifyPointerMotion dx=5 dy=2 on an unknown session"),
                                                QStringLiteral("RemoteDesktop.NotifyPointerButton button=272 state=0 on an unknown session")}));
    // From wherever the pointer was, the moves before the press end there.
    for (const QPoint start : {QPoint(2319, 1079), QPoint(0, 839), QPoint(1000, 500)}) {
        QPoint at = start;
        for (const QString &call : calls.mid(0, press)) {
            const QStringList words = call.split(QLatin1Char(' '));
            QVERIFY2(words.value(0) == QLatin1String("RemoteDesktop.NotifyPointerMotion"), qPrintable(call));
            at = mutterMove(monitors, at, {words.value(1).mid(3).toInt(), words.value(2).mid(3).toInt()});
        }
        QCOMPARE(at, QPoint(100, 650));
    }
}

void TestTelvdrv::touchesGoThroughTheCastsRemoteDesktopSession_data()
{
    QTest::addColumn<QStringList>("portal");
    QTest::addColumn<bool>("extend"); // else mirror
    QTest::addColumn<bool>("touch");
    QTest::addColumn<QStringList>("calls");
    // What the desktop gets for a press at (120, 340), a move and a lift at
    // (130, 345); none without a way in.
    QTest::addColumn<QStringList>("injected");
    // The token kept for the next start: a remote desktop's "rd-…", a
    // cast's "tok-…", or none where the portal asks again.
    QTest::addColumn<QString>("kept");
    const QString remote = QStringLiteral("--remote-desktop");
    const QStringList plain{QStringLiteral("CreateSession"),
                            QStringLiteral("SelectSources multiple=false persist_mode=2 types=4"),
                            QStringLiteral("Start"), QStringLiteral("OpenPipeWireRemote")};
    // The grant is remembered by the devices: the cast in that session may
    // not persist on its own.
    const QStringList remoteCalls{QStringLiteral("RemoteDesktop.CreateSession"),
                                  QStringLiteral("RemoteDesktop.SelectDevices persist_mode=2 types=4"),
                                  QStringLiteral("SelectSources multiple=false types=4"),
                                  QStringLiteral("RemoteDesktop.Start"), QStringLiteral("OpenPipeWireRemote")};
    const QStringList touches{QStringLiteral("RemoteDesktop.NotifyTouchDown stream=42 slot=0 x=120 y=340"),
                              QStringLiteral("RemoteDesktop.NotifyTouchMotion stream=42 slot=0 x=130 y=345"),
                              QStringLiteral("RemoteDesktop.NotifyTouchUp slot=0")};
    const QString rd = QStringLiteral("rd-1");
    const QString tok = QStringLiteral("tok-1");
    QTest::newRow("one session for both") << QStringList{remote, QStringLiteral("2")} << true << true << remoteCalls
                                          << touches << rd;
    QTest::newRow("touchscreen not granted")
        << QStringList{remote, QStringLiteral("2"), QStringLiteral("--devices"), QStringLiteral("3")} << true << true
        << remoteCalls << QStringList() << rd;
    QTest::newRow("no remote desktop") << QStringList{} << true << true << plain << QStringList() << tok;
    QTest::newRow("remote desktop refused, sharing granted")
        << QStringList{remote, QStringLiteral("2"), QStringLiteral("--refuse"), QStringLiteral("RemoteDesktop.Start")}
        << true << true << remoteCalls.mid(0, 4) + plain << QStringList() << tok;
    QTest::newRow("touch off") << QStringList{remote, QStringLiteral("2")} << true << false << plain << QStringList()
                               << tok;

    // GNOME 43's: nothing to remember a grant by, so nothing is asked to
    // be; a pointer, made before the first touch, presses where touched,
    // on a stream of known size (a real monitor's) only.
    const QStringList first{remote, QStringLiteral("1"), QStringLiteral("--stream-size"), QStringLiteral("800x480")};
    QStringList plainMirror = plain;
    plainMirror[1] = QStringLiteral("SelectSources multiple=false persist_mode=2 types=1");
    const QStringList remoteMirror{QStringLiteral("RemoteDesktop.CreateSession"),
                                   QStringLiteral("RemoteDesktop.SelectDevices types=2"),
                                   QStringLiteral("SelectSources multiple=false types=1"),
                                   QStringLiteral("RemoteDesktop.Start"), QStringLiteral("OpenPipeWireRemote")};
    const QString at = QStringLiteral("RemoteDesktop.NotifyPointerMotionAbsolute stream=42 x=%1 y=%2");
    const QString button = QStringLiteral("RemoteDesktop.NotifyPointerButton button=272 state=%1");
    const QStringList presses{QStringLiteral("RemoteDesktop.NotifyPointerMotion dx=0 dy=0"), at.arg(120).arg(340),
                              button.arg(1), at.arg(130).arg(345), at.arg(130).arg(345), button.arg(0)};
    QTest::newRow("version 1: asked at every start") << first << false << true << remoteMirror << presses << QString();
    QTest::newRow("version 1, pointer not granted") << first + QStringList{QStringLiteral("--devices"), QStringLiteral("4")}
                                                    << false << true << remoteMirror << QStringList() << QString();
    QTest::newRow("version 1, a stream of no size") << first.mid(0, 2) << false << true << remoteMirror << QStringList()
                                                    << QString();
    QTest::newRow("version 1 refused, sharing granted")
        << first + QStringList{QStringLiteral("--refuse"), QStringLiteral("RemoteDesktop.Start")} << false << true
        << remoteMirror.mid(0, 4) + plainMirror << QStringList() << tok;
    QTest::newRow("version 1, a virtual monitor: asked once") << first << true << true << plain << QStringList() << tok;
    QTest::newRow("version 1, touch off: asked once") << first << false << false << plainMirror << QStringList() << tok;
}

void TestTelvdrv::touchesGoThroughTheCastsRemoteDesktopSession()
{
    QFETCH(QStringList, portal);
    QFETCH(bool, extend);
    QFETCH(bool, touch);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, injected);
    QFETCH(QString, kept);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString record = dir.filePath(QStringLiteral("calls"));
    const FakePortal fake(QStringList{QStringLiteral("--record"), record, QStringLiteral("--types"), QStringLiteral("7")}
                          + portal);
    QVERIFY(fake.ready());
    const QString name = QStringLiteral("fake-portal-bus");
    const auto disconnect = qScopeGuard([&name] { QDBusConnection::disconnectFromBus(name); });
    {
        telvdrv::ScreenCastPortal cast(dir.filePath(QStringLiteral("cast-token")), dir.filePath(QStringLiteral("rd-token")),
                                       QDBusConnection::connectToBus(fake.address(), name));
        const telvdrv::ScreenCast started = cast.start(extend, touch, [] { return false; });
        QVERIFY2(started.outcome == telvdrv::ScreenCast::Outcome::Started, qPrintable(started.detail));
        close(started.fd);
        QCOMPARE(readLines(record), calls);
        // The grant's token where the next start looks for it.
        QCOMPARE(telvdrv::loadRestoreToken(dir.filePath(QStringLiteral("rd-token"))),
                 kept.startsWith(QLatin1String("rd-")) ? kept : QString());
        QCOMPARE(telvdrv::loadRestoreToken(dir.filePath(QStringLiteral("cast-token"))),
                 kept.startsWith(QLatin1String("tok-")) ? kept : QString());
        // A user asked at every start is told why.
        QVERIFY2(started.detail.contains(QLatin1String("asks at every start")) == kept.isEmpty(),
                 qPrintable(started.detail));

        std::string why;
        const std::unique_ptr<telvdrv::TouchInjector> injector = telvdrv::waylandTouch(started, cast, QSize(800, 480), &why);
        QCOMPARE(bool(injector), !injected.isEmpty());
        if (!injector) {
            QVERIFY(!why.empty());
            return;
        }
        // On a thread of its own, as the driver's forwarder calls it.
        std::thread([&injector] {
            injector->inject(telvdrv::TouchPhase::Down, 120, 340);
            injector->inject(telvdrv::TouchPhase::Move, 130, 345);
            injector->inject(telvdrv::TouchPhase::Up, 130, 345);
        }).join();
    }
    QTRY_COMPARE_WITH_TIMEOUT(readLines(record).mid(calls.size()), injected, kPatience);
}

void TestTelvdrv::tapsReachAPortalAnsweringOnThreadsInTheirOrder_data()
{
    QTest::addColumn<QString>("desktop"); // XDG_CURRENT_DESKTOP
    QTest::addColumn<QStringList>("portal");
    // What one tap at (X, Y) is to the desktop.
    QTest::addColumn<QStringList>("tap");
    QTest::newRow("touchscreen") << QString() << QStringList()
                                 << QStringList{QStringLiteral("RemoteDesktop.NotifyTouchDown stream=42 slot=0 x=X y=Y"),
                                                QStringLiteral("RemoteDesktop.NotifyTouchUp slot=0")};
    // KDE's backend loses touches: its pointer presses where the stream
    // shows the point.
    const QString at = QStringLiteral("RemoteDesktop.NotifyPointerMotionAbsolute stream=42 x=X y=Y");
    QTest::newRow("KDE") << QStringLiteral("KDE") << QStringList{QStringLiteral("--kde")}
                         << QStringList{at, QStringLiteral("RemoteDesktop.NotifyPointerButton button=272 state=1"), at,
                                        QStringLiteral("RemoteDesktop.NotifyPointerButton button=272 state=0")};
}

void TestTelvdrv::tapsReachAPortalAnsweringOnThreadsInTheirOrder()
{
    QFETCH(QString, desktop);
    QFETCH(QStringList, portal);
    QFETCH(QStringList, tap);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString record = dir.filePath(QStringLiteral("calls"));
    // A portal that remembers grants, taking each call on a thread of its
    // own and answering it within 3 ms.
    const FakePortal fake(QStringList{QStringLiteral("--record"), record, QStringLiteral("--types"), QStringLiteral("7"),
                                      QStringLiteral("--stream-size"), QStringLiteral("800x480"),
                                      QStringLiteral("--remote-desktop"), QStringLiteral("2"),
                                      QStringLiteral("--input-late"), QStringLiteral("3")}
                          + portal);
    QVERIFY(fake.ready());
    const QByteArray before = qgetenv("XDG_CURRENT_DESKTOP");
    qputenv("XDG_CURRENT_DESKTOP", desktop.toUtf8());
    const QString name = QStringLiteral("fake-portal-bus");
    const auto restore = qScopeGuard([&before, &name] {
        qputenv("XDG_CURRENT_DESKTOP", before);
        QDBusConnection::disconnectFromBus(name);
    });
    QStringList expected;
    qsizetype started = 0;
    {
        telvdrv::ScreenCastPortal cast(dir.filePath(QStringLiteral("cast-token")), dir.filePath(QStringLiteral("rd-token")),
                                       QDBusConnection::connectToBus(fake.address(), name));
        const telvdrv::ScreenCast begun = cast.start(true, true, [] { return false; });
        QVERIFY2(begun.outcome == telvdrv::ScreenCast::Outcome::Started, qPrintable(begun.detail));
        close(begun.fd);
        std::string why;
        const std::unique_ptr<telvdrv::TouchInjector> injector = telvdrv::waylandTouch(begun, cast, QSize(800, 480), &why);
        QVERIFY2(injector, why.c_str());
        // What came before the first tap (a pointer is made then).
        started = readLines(record).size();
        std::thread([&] {
            for (int i = 0; i < 100; ++i) {
                const QString x = QString::number(100 + i);
                const QString y = QString::number(300 - i);
                for (const QString &call : tap)
                    expected << QString(call).replace(QLatin1String("x=X"), QLatin1String("x=") + x)
                                    .replace(QLatin1String("y=Y"), QLatin1String("y=") + y);
                injector->inject(telvdrv::TouchPhase::Down, 100 + i, 300 - i);
                injector->inject(telvdrv::TouchPhase::Up, 100 + i, 300 - i);
            }
        }).join();
    }
    QTRY_COMPARE_WITH_TIMEOUT(readLines(record).mid(started).size(), expected.size(), kPatience);
    QCOMPARE(readLines(record).mid(started), expected);
}

void TestTelvdrv::stillDesktopPublishesNothingAfterTheFirstPicture()
{
    monitortest::Xvfb x;
    const QString error = x.start(QSize(320, 240));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 320, 240));
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    int more = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 2500)
        more += waitFrame(*m_share, 100) == FrameWait::Picture;
    QCOMPARE(more, 0);
    // A change comes through at once.
    monitortest::TestWindow window(x.display(), QRect(20, 20, 50, 40), 0x00FF00);
    QVERIFY(window.usable());
    QCOMPARE(waitFrame(*m_share, 2000), FrameWait::Picture);
    QCOMPARE(pixelsOf(visibleRows(*m_share, 320, 240), 0x00FF00), 50 * 40);
    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
}

void TestTelvdrv::extendAddsAMonitorOfTheScreensSizeAndGivesItBack()
{
    monitortest::Xvfb x;
    const QString error = x.startExtendable(QSize(1280, 1024), QSize(2080, 1024));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 800, 480, QProcess::ForwardedChannels, QStringLiteral("extend")));
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    // The real output stays first (primary) and in place; ours is right of it.
    QCOMPARE(monitortest::desktopSize(x.display()), QSize(2080, 1024));
    const auto listed = monitortest::monitors(x.display());
    QCOMPARE(listed.size(), 2);
    QCOMPARE(listed[0].second, QRect(0, 0, 1280, 1024));
    QCOMPARE(listed[1], qMakePair(QStringLiteral("TAVRIK"), QRect(1280, 0, 800, 480)));

    // A window put onto the new monitor is what the screen shows, at its
    // place there; one on the old desktop is not.
    monitortest::TestWindow onScreen(x.display(), QRect(1380, 50, 300, 200), 0xFF0000);
    monitortest::TestWindow elsewhere(x.display(), QRect(100, 50, 300, 200), 0x0000FF);
    QVERIFY(onScreen.usable() && elsewhere.usable());
    QTRY_COMPARE_WITH_TIMEOUT(pixelsOf(visibleRows(*m_share, 800, 480), 0xFF0000), 300 * 200, 5000);
    const Bytes shown = visibleRows(*m_share, 800, 480);
    QCOMPARE(bgr(shown, 800, 100, 50), QByteArray("\x00\x00\xFF", 3));
    QCOMPARE(bgr(shown, 800, 399, 249), QByteArray("\x00\x00\xFF", 3));
    QVERIFY(bgr(shown, 800, 99, 50) != QByteArray("\x00\x00\xFF", 3));
    QCOMPARE(pixelsOf(shown, 0x0000FF), 0);

    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
    QCOMPARE(driver.exitCode(), 0);
    // Everything as it was, and the window within reach again.
    QCOMPARE(monitortest::desktopSize(x.display()), QSize(1280, 1024));
    QCOMPARE(monitortest::monitors(x.display()).size(), 1);
    QVERIFY(QRect(0, 0, 1280, 1024).contains(onScreen.geometry()));
    QCOMPARE(elsewhere.geometry(), QRect(100, 50, 300, 200));
}

void TestTelvdrv::extendAfterADriverKilledOutrightStillGivesTheDesktopBack()
{
    monitortest::Xvfb x;
    const QString error = x.startExtendable(QSize(1280, 1024), QSize(2080, 1024));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    {
        QProcess killed;
        QVERIFY(startDriver(killed, x.display(), 800, 480, QProcess::ForwardedChannels, QStringLiteral("extend")));
        QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
        killed.kill(); // no chance to tidy up
        QVERIFY(killed.waitForFinished(kPatience));
    }
    QCOMPARE(monitortest::desktopSize(x.display()), QSize(2080, 1024));
    // The next driver takes the left-over monitor down before adding its own.
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 800, 480, QProcess::ForwardedChannels, QStringLiteral("extend")));
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    const auto listed = monitortest::monitors(x.display());
    QCOMPARE(listed.size(), 2);
    QCOMPARE(listed[1], qMakePair(QStringLiteral("TAVRIK"), QRect(1280, 0, 800, 480)));
    QCOMPARE(monitortest::desktopSize(x.display()), QSize(2080, 1024));
    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
    QCOMPARE(monitortest::desktopSize(x.display()), QSize(1280, 1024));
    QCOMPARE(monitortest::monitors(x.display()).size(), 1);
}

void TestTelvdrv::extendAsksTheWindowManagerToMoveItsWindowsBack()
{
    monitortest::Xvfb x;
    const QString error = x.startExtendable(QSize(1280, 1024), QSize(2080, 1024));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    monitortest::FakeWindowManager wm(x.display());
    QVERIFY(wm.usable());
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 800, 480, QProcess::ForwardedChannels, QStringLiteral("extend")));
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    monitortest::TestWindow managed(x.display(), QRect(1500, 300, 300, 200), 0xFF0000);
    monitortest::TestWindow unmanaged(x.display(), QRect(2000, 100, 200, 100), 0x00FF00);
    wm.manage(managed.id());
    QVERIFY(managed.usable() && unmanaged.usable());
    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
    // The managed window is its manager's to move: asked, not moved; the
    // other is moved directly, kept inside the primary monitor.
    QTRY_COMPARE(wm.moveRequests(), (QList<QPair<unsigned long, QPoint>>{{managed.id(), QPoint(220, 300)}}));
    QCOMPARE(managed.geometry(), QRect(1500, 300, 300, 200));
    QCOMPARE(unmanaged.geometry(), QRect(720, 100, 200, 100));
}

void TestTelvdrv::extendFallsBackToMirrorWhenTheDesktopCannotGrow()
{
    monitortest::Xvfb x;
    const QString error = x.start(QSize(800, 480));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    const Bytes desktop = monitortest::showOnDesktop(x.display(), monitortest::pattern(800, 480, 3200, 7),
                                                     QSize(800, 480));
    QVERIFY(!desktop.empty());
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 800, 480, QProcess::SeparateChannels, QStringLiteral("extend")));
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    QVERIFY(visibleRows(*m_share, 800, 480) == desktop);
    QCOMPARE(monitortest::desktopSize(x.display()), QSize(800, 480));
    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
    QVERIFY(QString::fromUtf8(driver.readAllStandardError()).contains(QStringLiteral("mirroring it instead")));
}

void TestTelvdrv::touchOnAWindowGoneMeanwhileLeavesNoStalePicture()
{
    monitortest::Xvfb x;
    const QString error = x.startExtendable(QSize(1280, 1024), QSize(2080, 1024));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 800, 480, QProcess::ForwardedChannels, QStringLiteral("extend")));
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    const QRect shown(1280, 0, 800, 480);
    // Made first: a window made after the gone one's client left could get
    // its number.
    monitortest::TestWindow canvas(x.display(), shown, 0);
    QVERIFY(canvas.usable());
    {
        // A finger pressed on a window that goes while it is down: each of
        // its moves is then sent to a window X no longer knows.
        monitortest::TestWindow gone(x.display(), shown, 0x00FF00);
        QVERIFY(gone.usable());
        gone.listenForButtons();
        QTRY_VERIFY_WITH_TIMEOUT(TouchSender().send(0, 0, true), 10000);
        QVERIFY(TouchSender().send(400, 240, false));
        bool pressed = false;
        QTRY_VERIFY_WITH_TIMEOUT(pressed = pressed || gone.nextButton().has_value(), 10000);
    }
    {
        std::atomic<bool> lifted{false};
        std::thread finger([&lifted] {
            TouchSender sender;
            // As many moves as the driver's queue holds, again and again.
            for (int i = 0; !lifted;) {
                while (!lifted && sender.send(400 + i++ % 64, 240, false)) {
                }
                usleep(100);
            }
            sender.send(400, 240, true);
        });
        const auto lift = qScopeGuard([&lifted, &finger] {
            lifted = true;
            finger.join();
        });
        // Meanwhile each change of the desktop is published.
        const uint32_t colours[] = {0xFF0000, 0x0000FF, 0xFFFF00, 0x00FFFF, 0xFF00FF, 0xFFFFFF};
        for (int i = 0; i < 30; ++i) {
            const uint32_t rgb = colours[i % 6];
            canvas.paint(rgb);
            QTRY_VERIFY2_WITH_TIMEOUT(pixelsOf(visibleRows(*m_share, 800, 480), rgb) == 800 * 480,
                                      qPrintable(QStringLiteral("change %1 was never published").arg(i)), 5000);
        }
    }
    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
    QCOMPARE(driver.exitCode(), 0);
}

void TestTelvdrv::extendKilledAtAnyStepIsPutBackByTheNextStart_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<bool>("undoing"); // the step is one of giving the desktop back
    QTest::newRow("recorded") << QStringLiteral("recorded") << false;
    QTest::newRow("grown") << QStringLiteral("grown") << false;
    QTest::newRow("monitor added") << QStringLiteral("monitor-added") << false;
    QTest::newRow("windows moved") << QStringLiteral("windows-moved") << true;
    QTest::newRow("shrunk") << QStringLiteral("shrunk") << true;
    QTest::newRow("monitor deleted") << QStringLiteral("monitor-deleted") << true;
}

void TestTelvdrv::extendKilledAtAnyStepIsPutBackByTheNextStart()
{
    QFETCH(QString, step);
    QFETCH(bool, undoing);
    monitortest::Xvfb x;
    const QString error = x.startExtendable(QSize(1280, 1024), QSize(2080, 1024));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    QProcessEnvironment hook;
    hook.insert(QLatin1String(telvdrv::kRaiseAtVariable), step + QStringLiteral(":KILL"));
    QProcess killed;
    QVERIFY(startDriver(killed, x.display(), 800, 480, QProcess::ForwardedChannels, QStringLiteral("extend"), hook));
    std::unique_ptr<monitortest::TestWindow> stray;
    if (undoing) {
        QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
        stray = std::make_unique<monitortest::TestWindow>(x.display(), QRect(1380, 50, 300, 200), 0xFF0000);
        killed.terminate();
    }
    QVERIFY(killed.waitForFinished(kPatience));
    QCOMPARE(killed.exitStatus(), QProcess::CrashExit);
    (void)waitFrame(*m_share, 0); // a picture of the killed driver's not taken

    // Any start puts it back, also one that only mirrors.
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 800, 480));
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    QCOMPARE(monitortest::desktopSize(x.display()), QSize(1280, 1024));
    QCOMPARE(monitortest::monitors(x.display()).size(), 1);
    QVERIFY(!monitortest::rootHasProperty(x.display(), telvdrv::ExtendedDesktop::kRecordName));
    if (stray)
        QVERIFY(QRect(0, 0, 1280, 1024).contains(stray->geometry()));
    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
}

void TestTelvdrv::extendPutsWindowsWhollyOnThePrimaryMonitorUnderOpenbox()
{
    const QString openbox = QStandardPaths::findExecutable(QStringLiteral("openbox"));
    if (openbox.isEmpty())
        QSKIP("openbox is not installed");
    monitortest::Xvfb x;
    const QString error = x.startExtendable(QSize(1280, 1024), QSize(2080, 1024));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 800, 480, QProcess::ForwardedChannels, QStringLiteral("extend")));
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    // A terminal's size, put by its user at +1300+50 on the screen. Mapped
    // before the window manager starts, which takes it over then: one
    // mapped while it starts may be lost to it.
    monitortest::TestWindow window(x.display(), QRect(1300, 50, 364, 200), 0xFF0000);
    QVERIFY(window.usable());
    QProcess wm;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), x.display());
    env.remove(QStringLiteral("LD_PRELOAD"));
    wm.setProcessEnvironment(env);
    wm.start(openbox, {QStringLiteral("--sm-disable")});
    const auto endWm = qScopeGuard([&wm] {
        wm.terminate();
        wm.waitForFinished(kPatience);
    });
    const auto framed = [&window] {
        const QRect r = window.frameGeometry();
        return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    };
    // Framed (wider than itself), still on the screen.
    QTRY_VERIFY2_WITH_TIMEOUT(window.frameGeometry().width() > 364 && window.frameGeometry().left() >= 1280,
                              qPrintable(framed()), kPatience);

    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
    QCOMPARE(monitortest::desktopSize(x.display()), QSize(1280, 1024));
    QTRY_VERIFY2_WITH_TIMEOUT(QRect(0, 0, 1280, 1024).contains(window.frameGeometry()), qPrintable(framed()), kPatience);
}

void TestTelvdrv::picturesKeepTheSizeCheckedAtStart()
{
    monitortest::Xvfb x;
    const QString error = x.start(QSize(800, 480));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    const Bytes desktop = monitortest::showOnDesktop(x.display(), monitortest::pattern(800, 480, 3200, 5),
                                                     QSize(800, 480));
    QVERIFY(!desktop.empty());
    QProcessEnvironment hook;
    hook.insert(QLatin1String(telvdrv::kRaiseAtVariable), QStringLiteral("size-read:STOP"));
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 800, 480, QProcess::ForwardedChannels, QStringLiteral("mirror"), hook));
    QTRY_VERIFY_WITH_TIMEOUT(monitortest::processStopped(driver.processId()), kPatience);
    // Written over once the driver has checked it: rows of the checked
    // stride would not hold the new width.
    m_share->writeSize(4000, 480);
    QCOMPARE(kill(pid_t(driver.processId()), SIGCONT), 0);
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    QCOMPARE(m_share->stride(), 3200);
    QVERIFY(visibleRows(*m_share, 800, 480) == desktop);
    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
    QCOMPARE(driver.exitStatus(), QProcess::NormalExit);
}

void TestTelvdrv::failingGrabsAreRetriedAtTheRateNotAtOnce()
{
    // Without DAMAGE every wait says the desktop changed; an area that the
    // desktop shrank away from gives no picture.
    monitortest::Xvfb x;
    const QString error = x.startExtendable(QSize(1280, 1024), QSize(2080, 1024),
                                            {QStringLiteral("-extension"), QStringLiteral("DAMAGE")});
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    QProcess driver;
    QVERIFY(startDriver(driver, x.display(), 800, 480, QProcess::ForwardedChannels, QStringLiteral("extend")));
    QCOMPARE(waitFrame(*m_share, 5000), FrameWait::Picture);
    QVERIFY(monitortest::setDesktopSize(x.display(), QSize(1280, 1024)));
    // Once it has noticed, no more pictures come.
    QTRY_VERIFY_WITH_TIMEOUT(waitFrame(*m_share, 500) == FrameWait::TimedOut, kPatience);
    const qint64 before = monitortest::processorMs(driver.processId());
    QElapsedTimer t;
    t.start();
    QTest::qWait(2000); // a span to measure over, not a wait for something
    const qint64 used = monitortest::processorMs(driver.processId()) - before;
    QVERIFY2(used * 5 < t.elapsed(), qPrintable(QStringLiteral("%1 ms of %2").arg(used).arg(t.elapsed())));
    driver.terminate();
    QVERIFY(driver.waitForFinished(kPatience));
    QCOMPARE(driver.exitCode(), 0);
}

void TestTelvdrv::modeComesFromTheVariableThenTheConfigFile()
{
    QTemporaryDir config;
    QVERIFY(config.isValid());
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    const QByteArray oldMode = qgetenv(telvdrv::kModeVariable);
    const auto restore = qScopeGuard([&] {
        qputenv("XDG_CONFIG_HOME", oldConfig);
        if (oldMode.isNull())
            qunsetenv(telvdrv::kModeVariable);
        else
            qputenv(telvdrv::kModeVariable, oldMode);
    });
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    qunsetenv(telvdrv::kModeVariable);
    QCOMPARE(telvdrv::modeFilePath(), config.filePath(QStringLiteral("tavrik/monitor.conf")));
    // Nothing set: a display of its own.
    QVERIFY(telvdrv::chooseMonitorMode().mode == telvdrv::MonitorMode::Extend);

    QVERIFY(QDir(config.path()).mkpath(QStringLiteral("tavrik")));
    QFile file(telvdrv::modeFilePath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("# how the screen shows the desktop\nmode = Mirror\n");
    file.close();
    telvdrv::ModeChoice choice = telvdrv::chooseMonitorMode();
    QVERIFY(choice.mode == telvdrv::MonitorMode::Mirror);
    QVERIFY(choice.problem.isEmpty());

    // The variable wins over the file.
    qputenv(telvdrv::kModeVariable, "extend");
    QVERIFY(telvdrv::chooseMonitorMode().mode == telvdrv::MonitorMode::Extend);
    // A value it does not know is said, and the file is used.
    qputenv(telvdrv::kModeVariable, "sideways");
    choice = telvdrv::chooseMonitorMode();
    QVERIFY(choice.mode == telvdrv::MonitorMode::Mirror);
    QVERIFY(choice.problem.contains(QStringLiteral("sideways")));
}

void TestTelvdrv::desktopReachesTheScreenThroughTheMonitorWorker()
{
    monitortest::Xvfb x;
    const QString error = x.start(QSize(480, 800));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    const Bytes desktop = monitortest::showOnDesktop(x.display(), monitortest::pattern(480, 800, 1920, 4),
                                                     QSize(480, 800));
    QVERIFY(!desktop.empty());
    // The driver the job starts finds this desktop.
    const QByteArray oldDisplay = qgetenv("DISPLAY");
    qputenv("DISPLAY", x.display().toLocal8Bit());

    sim::VirtualBus bus;
    auto model = std::make_shared<sim::ScreenModel>(*sim::findPreset("4in-telv"), 0x31);
    bus.attach(model, 1, 3);
    auto ctx = std::make_shared<screenlink::UsbContext>();
    std::shared_ptr<screenlink::Screen> screen;
    QTRY_VERIFY([&] {
        screenlink::DeviceList list(ctx->get());
        for (libusb_device *dev : list)
            if (libusb_get_port_number(dev) == 3)
                screen = screenlink::Screen::open(ctx, dev);
        return screen != nullptr;
    }());

    session::MonitorWorker worker(50);
    QVERIFY(worker.begin(screen, QSize(480, 800), screenlink::ScanOrder::AsIs, kDriver));
    // A still desktop: one picture, the frame of it.
    const Bytes expected = monitortest::expectedFrame(desktop.data(), 1920, 480, 800);
    QTRY_VERIFY_WITH_TIMEOUT(model->lastFrame() == expected, 10000);
    const QList<qint64> drivers = monitortest::childrenNamed(QStringLiteral("telvdrv"));
    QCOMPARE(drivers.size(), 1);
    bool headerSeen = false;
    for (const auto &r : model->requests())
        headerSeen |= r.payload == Bytes{0x00, 0x2C, 0x00, 0xB8, 0x0B, 0x00};
    QVERIFY(headerSeen);
    // What the glass shows is the desktop, as the panel's own picture.
    int w = 0;
    int h = 0;
    QVERIFY(!model->shownPicture(&w, &h).empty());

    QVERIFY(worker.stopAndWait(3000));
    QVERIFY(monitortest::waitGone(drivers.first()));
    qputenv("DISPLAY", oldDisplay);
}

QTEST_GUILESS_MAIN(TestTelvdrv)
#include "tst_telvdrv.moc"
