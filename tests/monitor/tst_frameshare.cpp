// The frame share as both sides use it: its header layout, the rate, the
// frame header, the bounds every picture is checked against, publishing and
// waiting; whose share it is, and what a share cut short does to each side.
#include "frameshare.h"
#include "monitortestsupport.h"
#include "monitorworker.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace monitor;
using monitortest::Bytes;
using monitortest::uniqueName;

namespace {

FrameShareNames testNames()
{
    return {uniqueName("share"), uniqueName("event")};
}

Bytes headerBytes(const FrameShare &share)
{
    const uint8_t *base = share.pixels() - kShareHeaderSize;
    return Bytes(base, base + kShareHeaderSize);
}

} // namespace

class TestFrameShare : public QObject {
    Q_OBJECT

private slots:
    void rateFollowsTheSize_data();
    void rateFollowsTheSize();
    void frameHeaderCarriesTheByteCount_data();
    void frameHeaderCarriesTheByteCount();
    void headerFieldsAreLittleEndianAtTheirOffsets();
    void pictureFitsGuardsThePixelArea_data();
    void pictureFitsGuardsThePixelArea();
    void publishCopiesRowsThenSetsTheEvent();
    void publishRefusesPicturesPastTheShare();
    void secondOpenFindsTheExistingShare();
    void closeReleasesTheShare();

    void defaultNamesAreTheUsersOwn();
    void shareOthersMayUseIsRefusedWithTheReason();
    void shareOfAnotherUserIsRefusedNamingItsOwner();
    void twoUsersMirrorApart();
    void shareCutShortIsBrokenOnBothSides();
};

void TestFrameShare::rateFollowsTheSize_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("rate");
    QTest::newRow("480x800") << 480 << 800 << 36;
    QTest::newRow("800x480") << 800 << 480 << 36;
    QTest::newRow("1024x600 is 22, raised to 24") << 1024 << 600 << 24;
    QTest::newRow("320x240") << 320 << 240 << 180;
    QTest::newRow("1280x400") << 1280 << 400 << 27;
    // Divided step by step, a size whose product passes 32 bits still works.
    QTest::newRow("65536x65536") << 65536 << 65536 << 24;
    QTest::newRow("no size") << 0 << 480 << 0;
}

void TestFrameShare::rateFollowsTheSize()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, rate);
    QCOMPARE(frameRate(width, height), rate);
}

void TestFrameShare::frameHeaderCarriesTheByteCount_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("480x800") << 480 << 800 << QByteArray::fromHex("002C00B80B00");
    QTest::newRow("1280x400") << 1280 << 400 << QByteArray::fromHex("002C00A00F00");
    QTest::newRow("320x240") << 320 << 240 << QByteArray::fromHex("002C00580200");
}

void TestFrameShare::frameHeaderCarriesTheByteCount()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QByteArray, header);
    const auto bytes = session::MonitorWorker::frameHeader(width, height);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())), header);
}

void TestFrameShare::headerFieldsAreLittleEndianAtTheirOffsets()
{
    auto share = openFrameShare(testNames());
    QVERIFY(share);
    share->writeSize(480, 800);
    share->setStride(1984);
    QCOMPARE(headerBytes(*share), (Bytes{0xE0, 0x01, 0, 0, 0x20, 0x03, 0, 0, 36, 0, 0, 0, 0xC0, 0x07, 0, 0}));
    QCOMPARE(share->width(), 480);
    QCOMPARE(share->height(), 800);
    QCOMPARE(share->rate(), 36);
    QCOMPARE(share->stride(), 1984);
    // Negative values are kept as written, for the reader to refuse.
    share->setStride(-4);
    QCOMPARE(share->stride(), -4);
    QCOMPARE(headerBytes(*share)[15], uint8_t(0xFF));
}

void TestFrameShare::pictureFitsGuardsThePixelArea_data()
{
    QTest::addColumn<qint64>("stride");
    QTest::addColumn<qint64>("width");
    QTest::addColumn<qint64>("height");
    QTest::addColumn<bool>("fits");
    const qint64 area = qint64(kPixelAreaSize);
    QTest::newRow("tight rows") << qint64(3200) << qint64(800) << qint64(480) << true;
    QTest::newRow("padded rows") << qint64(3232) << qint64(800) << qint64(480) << true;
    QTest::newRow("one byte short of a row") << qint64(3199) << qint64(800) << qint64(480) << false;
    QTest::newRow("no stride yet") << qint64(0) << qint64(800) << qint64(480) << false;
    QTest::newRow("negative stride") << qint64(-3200) << qint64(800) << qint64(480) << false;
    QTest::newRow("exactly the area") << area / 16 << qint64(1) << qint64(16) << true;
    QTest::newRow("one row past the area") << area / 16 << qint64(1) << qint64(17) << false;
    QTest::newRow("huge stride") << qint64(INT32_MAX) << qint64(800) << qint64(480) << false;
    QTest::newRow("product past 32 bits") << qint64(0x10000) << qint64(800) << qint64(0x10001) << false;
    QTest::newRow("no width") << qint64(3200) << qint64(0) << qint64(480) << false;
    QTest::newRow("no height") << qint64(3200) << qint64(800) << qint64(0) << false;
}

void TestFrameShare::pictureFitsGuardsThePixelArea()
{
    QFETCH(qint64, stride);
    QFETCH(qint64, width);
    QFETCH(qint64, height);
    QFETCH(bool, fits);
    QCOMPARE(pictureFits(stride, width, height), fits);
}

void TestFrameShare::publishCopiesRowsThenSetsTheEvent()
{
    const FrameShareNames names = testNames();
    auto driver = openFrameShare(names);
    auto viewer = openFrameShare(names);
    QVERIFY(driver && viewer);
    QCOMPARE(waitFrame(*viewer, 0), FrameWait::TimedOut);
    const Bytes picture = monitortest::pattern(100, 50, 432, 3);
    QVERIFY(publishFrame(*driver, picture.data(), 432, 50));
    QCOMPARE(waitFrame(*viewer, 1000), FrameWait::Picture);
    QCOMPARE(viewer->stride(), 432);
    QVERIFY(std::memcmp(viewer->pixels(), picture.data(), picture.size()) == 0);
    // Not a byte more than stride x height.
    QCOMPARE(viewer->pixels()[picture.size()], uint8_t(0));
    QCOMPARE(waitFrame(*viewer, 50), FrameWait::TimedOut);
}

void TestFrameShare::publishRefusesPicturesPastTheShare()
{
    auto share = openFrameShare(testNames());
    const Bytes small(64, 0x11);
    QVERIFY(!publishFrame(*share, small.data(), 4096, 4096)); // 16 MiB
    QVERIFY(!publishFrame(*share, small.data(), -64, 1));
    QVERIFY(!publishFrame(*share, nullptr, 64, 1));
    QCOMPARE(share->stride(), 0);
    QCOMPARE(share->pixels()[0], uint8_t(0));
    QCOMPARE(waitFrame(*share, 0), FrameWait::TimedOut);
}

void TestFrameShare::secondOpenFindsTheExistingShare()
{
    const FrameShareNames names = testNames();
    auto first = openFrameShare(names);
    first->writeSize(1024, 600);
    first->pixels()[kPixelAreaSize - 1] = 0x77;
    auto second = openFrameShare(names);
    QVERIFY(second);
    QCOMPARE(second->width(), 1024);
    QCOMPARE(second->height(), 600);
    QCOMPARE(second->rate(), 24);
    QCOMPARE(second->pixels()[kPixelAreaSize - 1], uint8_t(0x77));
    second->event().set();
    QCOMPARE(waitFrame(*first, 0), FrameWait::Picture);
}

void TestFrameShare::closeReleasesTheShare()
{
    const FrameShareNames names = testNames();
    auto share = openFrameShare(names);
    QVERIFY(QFile::exists(QStringLiteral("/dev/shm/") + names.memory));
    closeFrameShare(share);
    QVERIFY(!share);
    QVERIFY(!QFile::exists(QStringLiteral("/dev/shm/") + names.memory));
    QVERIFY(!QFile::exists(QStringLiteral("/dev/shm/") + names.event));
    closeFrameShare(share); // twice is harmless
}

void TestFrameShare::defaultNamesAreTheUsersOwn()
{
    const FrameShareNames names;
    QCOMPARE(names.memory, QStringLiteral("TELV_FRAME_SHARE.%1").arg(geteuid()));
    QCOMPARE(names.event, QStringLiteral("TELV_FRAME_EVENT.%1").arg(geteuid()));
    QCOMPARE(defaultShareName(), names.memory);
    QCOMPARE(defaultEventName(), names.event);
}

void TestFrameShare::shareOthersMayUseIsRefusedWithTheReason()
{
    // Left behind by an older version, open to everyone.
    const FrameShareNames names = testNames();
    for (const QString &name : {names.memory, names.event}) {
        const int fd = ::open(monitortest::shmPath(name).toLocal8Bit().constData(), O_RDWR | O_CREAT | O_EXCL, 0600);
        QVERIFY(fd >= 0);
        QCOMPARE(fchmod(fd, 0666), 0);
        ::close(fd);
    }
    QString why;
    QVERIFY(!openFrameShare(names, &why));
    QCOMPARE(why, QStringLiteral("The frame share %1 may be used by other users (mode 0666); monitor mode will not use it.")
                      .arg(monitortest::shmPath(names.memory)));
    // With the share put right, the event is next.
    QCOMPARE(::unlink(monitortest::shmPath(names.memory).toLocal8Bit().constData()), 0);
    QVERIFY(!openFrameShare(names, &why));
    QCOMPARE(why, QStringLiteral("The frame event %1 may be used by other users (mode 0666); monitor mode will not use it.")
                      .arg(monitortest::shmPath(names.event)));
    // Nothing stays open: the share made meanwhile is gone again.
    QVERIFY(!QFile::exists(monitortest::shmPath(names.memory)));
    QCOMPARE(::unlink(monitortest::shmPath(names.event).toLocal8Bit().constData()), 0);
}

void TestFrameShare::shareOfAnotherUserIsRefusedNamingItsOwner()
{
    const QString unavailable = monitortest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(unavailable));
    const FrameShareNames names = testNames();
    const QString path = monitortest::shmPath(names.memory);
    QVERIFY(monitortest::runAsOtherUser(QStringLiteral("umask 0; : > \"$0\""), {path}));
    QString why;
    QVERIFY(!openFrameShare(names, &why));
    QCOMPARE(why, QStringLiteral("The frame share %1 belongs to another user (uid %2); monitor mode will not use it.")
                      .arg(path)
                      .arg(monitortest::kOtherUser));
    QVERIFY(!monitortest::mappedHere(path));
    QVERIFY(!QFile::exists(monitortest::shmPath(names.event)));
    QCOMPARE(::unlink(path.toLocal8Bit().constData()), 0);
}

void TestFrameShare::twoUsersMirrorApart()
{
    // Root and uid 65534 each use their own default share at once: the
    // other's pictures and events never arrive.
    const QString peerPath = QStringLiteral(SHAREPEER_PATH);
    const QString unavailable = monitortest::otherUserUnavailable({peerPath});
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(unavailable));
    constexpr int w = 64;
    constexpr int h = 48;
    auto own = openFrameShare();
    QVERIFY(own);
    own->writeSize(w, h);
    QProcess peer;
    peer.setProcessChannelMode(QProcess::SeparateChannels);
    monitortest::startAsOtherUser(peer, peerPath, {QStringLiteral("apart"), QString::number(w), QString::number(h)});
    QVERIFY(peer.waitForStarted());
    QVERIFY(peer.waitForReadyRead(10000));
    QCOMPARE(peer.readLine().trimmed(), QByteArray("ready"));

    // While the peer waits for a picture, ours are published here.
    const Bytes mine = monitortest::pattern(w, h, w * 4, 1);
    for (int i = 0; i < 3; ++i)
        QVERIFY(publishFrame(*own, mine.data(), w * 4, h));
    QCOMPARE(waitFrame(*own, 0), FrameWait::Picture);

    QByteArray line;
    QTRY_VERIFY_WITH_TIMEOUT((line += peer.readLine()).contains('\n') || peer.state() == QProcess::NotRunning, 10000);
    QCOMPARE(line.trimmed(), QByteArray("published"));
    QCOMPARE(waitFrame(*own, 300), FrameWait::TimedOut);
    QVERIFY(std::memcmp(own->pixels(), mine.data(), mine.size()) == 0);
    QCOMPARE(own->width(), w);

    // Two objects, each its user's alone.
    const QString theirs = monitortest::shmPath(QStringLiteral("TELV_FRAME_SHARE.%1").arg(monitortest::kOtherUser));
    struct stat st{};
    QCOMPARE(stat(theirs.toLocal8Bit().constData(), &st), 0);
    QCOMPARE(st.st_uid, uid_t(monitortest::kOtherUser));
    QCOMPARE(st.st_mode & 07777, mode_t(0600));
    QCOMPARE(stat(monitortest::shmPath(defaultShareName()).toLocal8Bit().constData(), &st), 0);
    QCOMPARE(st.st_uid, geteuid());

    peer.closeWriteChannel();
    QVERIFY(peer.waitForFinished(10000));
    QCOMPARE(peer.exitStatus(), QProcess::NormalExit);
    QCOMPARE(peer.exitCode(), 0); // our pictures never woke it
}

void TestFrameShare::shareCutShortIsBrokenOnBothSides()
{
    const FrameShareNames names = testNames();
    auto driver = openFrameShare(names);
    auto viewer = openFrameShare(names);
    QVERIFY(driver && viewer);
    viewer->writeSize(100, 50);
    const Bytes picture = monitortest::pattern(100, 50, 400, 2);
    QVERIFY(publishFrame(*driver, picture.data(), 400, 50));
    QCOMPARE(waitFrame(*viewer, 1000), FrameWait::Picture);
    QVERIFY(!driver->broken() && !viewer->broken());

    QVERIFY(monitortest::shrinkShared(names.memory, 0));
    // The driver's next picture lands nowhere, and it is told so.
    QVERIFY(!publishFrame(*driver, picture.data(), 400, 50));
    QVERIFY(driver->broken());
    // The viewer reads zeros where the header and picture were.
    QCOMPARE(viewer->stride(), 0);
    QCOMPARE(viewer->width(), 0);
    QVERIFY(viewer->broken());
    QCOMPARE(viewer->pixels()[0], uint8_t(0));
    closeFrameShare(viewer);
    closeFrameShare(driver);
    QVERIFY(!QFile::exists(monitortest::shmPath(names.memory)));
}

QTEST_GUILESS_MAIN(TestFrameShare)
#include "tst_frameshare.moc"
