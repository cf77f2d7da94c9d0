// The monitor job against a simulated screen through the real libusb:
// pictures published in the frame share become frames, stops and failures
// close down cleanly, and a hostile share header is never read past.
// Runs under umockdev-wrapper.
#include "frameshare.h"
#include "monitortestsupport.h"
#include "monitorworker.h"
#include "processes.h"
#include "screen.h"
#include "usb/virtualbus.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace monitor;
using monitortest::Bytes;
using screenlink::Screen;
using session::MonitorWorker;

namespace {

// Short, so the tests do not sit through the programs' full pause.
constexpr int kTestPauseMs = 50;
constexpr screenlink::ScanOrder kUnturned = screenlink::ScanOrder::AsIs; // the share's pixels as they are
constexpr int kPortrait = 1; // port of the 480 x 800 screen
constexpr int kLandscape = 2;

uint64_t headersWith(const sim::ScreenModel &model, const Bytes &payload)
{
    uint64_t n = 0;
    for (const auto &r : model.requests())
        if (r.kind == sim::RequestRecord::Kind::Control && r.payload == payload)
            ++n;
    return n;
}

} // namespace

class TestMonitorWorker : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void eachPublishedPictureBecomesItsConversion();
    void stopWhileWaitingForAPictureEndsAndBlanks();
    void stopRightAfterStartIsNotLost();
    void startWhileRunningChangesNothing();
    void hostileStridesAreSkipped();
    void workerKeepsItsScreenOpenWhenTheOwnerLetsGo();
    void driverIsStartedWithTheSizeAndTerminatedAtStop();
    void runningDriversAreEndedAtStart();
    void unplugEndsTheLoopAndTerminatesTheDriver();
    void failedTransferEndsTheLoop();
    void noScreenWritesMessageAndLeavesDriverAlone();
    void screenTooLargeForTheShareIsRefused();
    void shareOfAnotherUserIsRefusedWithTheReason();
    void nameTakenByAnotherUserCannotStopAPrivateRuntimeFolder();
    void shareCutShortEndsTheLoopAndBlanks();
    void driverIsToldWhoStartedIt();

private:
    std::shared_ptr<Screen> openScreen(int port);
    // Copies a helper program to a name of this run, so that ending it by
    // name touches nothing else.
    QString installAs(const char *source, const QString &name);
    std::shared_ptr<FrameShare> waitForShare(int width, int height);

    std::unique_ptr<sim::VirtualBus> m_bus;
    std::shared_ptr<screenlink::UsbContext> m_ctx;
    std::shared_ptr<sim::ScreenModel> m_portrait;
    std::shared_ptr<sim::ScreenModel> m_landscape;
    int m_portraitSlot = -1;
    int m_landscapeSlot = -1;
    std::shared_ptr<Screen> m_screen;
    std::unique_ptr<MonitorWorker> m_worker;
    // The driver each start uses; by default a path with no program, as
    // the test publishes its pictures itself.
    QString m_driver;
    QTemporaryDir m_dir;
    // Installed once Qt Test has installed its own handler, which it passes on to.
    std::unique_ptr<monitortest::DebugLog> m_logOwner;
    monitortest::DebugLog *m_log = nullptr;
};

void TestMonitorWorker::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    QVERIFY(m_dir.isValid());
    // The share goes to /dev/shm unless a test gives it a runtime folder.
    qunsetenv("XDG_RUNTIME_DIR");
    m_logOwner = std::make_unique<monitortest::DebugLog>();
    m_log = m_logOwner.get();
    m_bus = std::make_unique<sim::VirtualBus>();
    m_portrait = std::make_shared<sim::ScreenModel>(*sim::findPreset("4in-telv"), 0x21);
    m_landscape = std::make_shared<sim::ScreenModel>(*sim::findPreset("6.8in-telv"), 0x22);
    m_portraitSlot = m_bus->attach(m_portrait, 1, kPortrait);
    m_landscapeSlot = m_bus->attach(m_landscape, 1, kLandscape);
    m_ctx = std::make_shared<screenlink::UsbContext>();
    QVERIFY(*m_ctx);
}

void TestMonitorWorker::init()
{
    for (int slot : {m_portraitSlot, m_landscapeSlot})
        if (!m_bus->plugged(slot))
            m_bus->plug(slot);
    for (const auto &m : {m_portrait, m_landscape}) {
        m->setFaults({});
        m->clearRequests();
    }
    QTRY_VERIFY((m_screen = openScreen(kPortrait)) != nullptr);
    m_worker = std::make_unique<MonitorWorker>(kTestPauseMs);
    m_driver = m_dir.filePath(QStringLiteral("no-driver-here"));
    m_log->clear();
}

void TestMonitorWorker::cleanup()
{
    if (m_worker)
        QVERIFY(m_worker->stopAndWait(5000));
    m_worker.reset();
    m_screen.reset();
}

void TestMonitorWorker::cleanupTestCase()
{
    m_screen.reset();
    m_ctx.reset();
    m_bus.reset();
}

std::shared_ptr<Screen> TestMonitorWorker::openScreen(int port)
{
    screenlink::DeviceList list(m_ctx->get());
    for (libusb_device *dev : list)
        if (libusb_get_port_number(dev) == port)
            return Screen::open(m_ctx, dev);
    return nullptr;
}

QString TestMonitorWorker::installAs(const char *source, const QString &name)
{
    const QString path = m_dir.filePath(name);
    QFile::remove(path);
    if (!QFile::copy(QString::fromLocal8Bit(source), path))
        return {};
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

std::shared_ptr<FrameShare> TestMonitorWorker::waitForShare(int width, int height)
{
    std::shared_ptr<FrameShare> share = openFrameShare();
    if (!share)
        return nullptr;
    QElapsedTimer t;
    t.start();
    while (share->width() != width || share->height() != height) {
        if (t.elapsed() > 5000)
            return nullptr;
        QTest::qWait(5);
    }
    return share;
}

void TestMonitorWorker::eachPublishedPictureBecomesItsConversion()
{
    m_worker->begin(m_screen, QSize(480, 800), kUnturned, m_driver);
    const auto share = waitForShare(480, 800);
    QVERIFY(share);
    QCOMPARE(share->rate(), 36);
    QVERIFY(m_portrait->requests().empty()); // nothing before the first picture

    const int stride = 480 * 4 + 64;
    for (int seed : {1, 2, 3}) {
        const uint64_t before = m_portrait->frameSerial();
        const Bytes picture = monitortest::pattern(480, 800, stride, seed);
        QVERIFY(publishFrame(*share, picture.data(), stride, 800));
        QTRY_COMPARE(m_portrait->frameSerial(), before + 1);
        QVERIFY2(m_portrait->lastFrame() == monitortest::expectedFrame(picture.data(), stride, 480, 800),
                 qPrintable(QStringLiteral("frame of picture %1").arg(seed)));
    }
    // One picture, one frame: the header 00 2C 00 B8 0B 00, then 768000 bytes.
    const Bytes header{0x00, 0x2C, 0x00, 0xB8, 0x0B, 0x00};
    QCOMPARE(headersWith(*m_portrait, header), uint64_t(3));
    const auto log = m_portrait->requests();
    QCOMPARE(log.size(), size_t(6));
    for (size_t i = 0; i < log.size(); i += 2) {
        QCOMPARE(log[i].setup.requestType, uint8_t(0x40));
        QCOMPARE(log[i].setup.request, uint8_t(0xB0));
        QCOMPARE(log[i].setup.value, uint16_t(0));
        QCOMPARE(log[i].setup.index, uint16_t(0));
        QCOMPARE(log[i + 1].kind, sim::RequestRecord::Kind::BulkOut);
        QCOMPARE(log[i + 1].bulkLength, uint32_t(768000));
    }
    QVERIFY(m_landscape->requests().empty());

    // Closing: one more bulk transfer of the frame's size, without a header.
    const sim::FrameStats before = m_portrait->frameStats();
    QVERIFY(m_worker->stopAndWait(2000));
    const sim::FrameStats after = m_portrait->frameStats();
    QCOMPARE(after.headers, before.headers);
    QCOMPARE(after.rawBulkTransfers - before.rawBulkTransfers, uint64_t(1));
    QCOMPARE(after.rawBulkBytes - before.rawBulkBytes, uint64_t(768000));
    QCOMPARE(m_portrait->requests().back().kind, sim::RequestRecord::Kind::BulkOut);
}

void TestMonitorWorker::stopWhileWaitingForAPictureEndsAndBlanks()
{
    m_worker->begin(m_screen, QSize(480, 800), kUnturned, m_driver);
    QVERIFY(waitForShare(480, 800));
    QTest::qWait(150); // waiting for a picture that never comes
    QVERIFY(m_worker->isRunning());
    const sim::FrameStats before = m_portrait->frameStats();
    QElapsedTimer t;
    t.start();
    m_worker->requestStop(); // does not wait
    QVERIFY(m_worker->wait(QDeadlineTimer(1000)));
    QVERIFY(t.elapsed() < 1000);
    const sim::FrameStats after = m_portrait->frameStats();
    QCOMPARE(after.headers, before.headers);
    QCOMPARE(after.rawBulkTransfers - before.rawBulkTransfers, uint64_t(1));
    QCOMPARE(after.rawBulkBytes - before.rawBulkBytes, uint64_t(768000));
    QCOMPARE(m_portrait->requests().size(), size_t(1));
}

void TestMonitorWorker::stopRightAfterStartIsNotLost()
{
    // A pause long enough that the stop surely comes before the loop.
    MonitorWorker slow(1000);
    QElapsedTimer t;
    t.start();
    QVERIFY(slow.begin(m_screen, QSize(480, 800), kUnturned, m_driver));
    slow.requestStop();
    QVERIFY(slow.wait(QDeadlineTimer(1000)));
    QVERIFY(t.elapsed() < 1000);
    // It ended before it opened the share or sent anything.
    QVERIFY(m_portrait->requests().empty());

    // And a stop that comes while the thread starts up, after the pause.
    m_worker->begin(m_screen, QSize(480, 800), kUnturned, m_driver);
    QTest::qWait(kTestPauseMs);
    m_worker->requestStop();
    QVERIFY(m_worker->wait(QDeadlineTimer(1000)));
}

void TestMonitorWorker::startWhileRunningChangesNothing()
{
    m_worker->begin(m_screen, QSize(480, 800), kUnturned, m_driver);
    const auto share = waitForShare(480, 800);
    QVERIFY(share);
    QVERIFY(!m_worker->begin(openScreen(kLandscape), QSize(800, 480), kUnturned, m_driver));
    QTest::qWait(3 * kTestPauseMs);
    QCOMPARE(share->width(), 480);
    QCOMPARE(share->height(), 800);
    const uint64_t before = m_portrait->frameSerial();
    const Bytes picture = monitortest::pattern(480, 800, 1920, 4);
    QVERIFY(publishFrame(*share, picture.data(), 1920, 800));
    QTRY_COMPARE(m_portrait->frameSerial(), before + 1);
    QCOMPARE(m_portrait->lastFrame().size(), size_t(768000));
    QVERIFY(m_landscape->requests().empty());
}

void TestMonitorWorker::hostileStridesAreSkipped()
{
    m_worker->begin(m_screen, QSize(480, 800), kUnturned, m_driver);
    const auto share = waitForShare(480, 800);
    QVERIFY(share);
    const Bytes picture = monitortest::pattern(480, 800, 1920, 6);
    // Strides that would make the conversion read outside the share.
    for (int32_t stride : {1916, 0, -1920, 10486, INT32_MAX, INT32_MIN}) {
        share->setStride(stride);
        share->event().set();
        QTest::qWait(60);
    }
    QTest::qWait(100);
    QVERIFY(m_worker->isRunning());
    QVERIFY(m_portrait->requests().empty());
    QCOMPARE(m_log->messages().filter(QStringLiteral("stride")).size(), 1);
    // A proper picture afterwards goes through.
    const uint64_t before = m_portrait->frameSerial();
    QVERIFY(publishFrame(*share, picture.data(), 1920, 800));
    QTRY_COMPARE(m_portrait->frameSerial(), before + 1);
    QVERIFY(m_portrait->lastFrame() == monitortest::expectedFrame(picture.data(), 1920, 480, 800));
}

void TestMonitorWorker::workerKeepsItsScreenOpenWhenTheOwnerLetsGo()
{
    m_worker->begin(m_screen, QSize(480, 800), kUnturned, m_driver);
    const auto share = waitForShare(480, 800);
    QVERIFY(share);
    // The owner closes its screen, as panelctl's selection does.
    std::weak_ptr<Screen> watch = m_screen;
    m_screen.reset();
    QVERIFY(!watch.expired());
    const uint64_t before = m_portrait->frameSerial();
    const Bytes picture = monitortest::pattern(480, 800, 1920, 8);
    QVERIFY(publishFrame(*share, picture.data(), 1920, 800));
    QTRY_COMPARE(m_portrait->frameSerial(), before + 1);
    QVERIFY(m_worker->stopAndWait(2000));
    // The thread was its last user: the handle is closed now.
    QVERIFY(watch.expired());
    QCOMPARE(m_portrait->requests().back().kind, sim::RequestRecord::Kind::BulkOut);
}

void TestMonitorWorker::driverIsStartedWithTheSizeAndTerminatedAtStop()
{
    const QString image = QStringLiteral("fakedrv%1").arg(getpid());
    const QString path = installAs(FAKEDRIVER_PATH, image);
    QVERIFY(!path.isEmpty());
    m_driver = path;
    m_screen = openScreen(kLandscape);
    QVERIFY(m_screen);
    m_worker->begin(m_screen, QSize(800, 480), kUnturned, m_driver);
    const QList<qint64> drivers = monitortest::waitForProcesses(image, 5000);
    QCOMPARE(drivers.size(), 1);
    // The stand-in publishes its picture at the size and rate in the share,
    // with padded rows.
    const uint64_t before = m_landscape->frameSerial();
    QTRY_VERIFY_WITH_TIMEOUT(m_landscape->frameSerial() >= before + 3, 5000);
    const Bytes picture = monitortest::pattern(800, 480, 800 * 4 + 32, 5);
    QVERIFY(m_landscape->lastFrame() == monitortest::expectedFrame(picture.data(), 800 * 4 + 32, 800, 480));
    QVERIFY(m_portrait->requests().empty());
    QVERIFY(m_worker->stopAndWait(3000));
    QVERIFY(monitortest::waitGone(drivers.first(), 3000));
    QVERIFY(!QFile::exists(monitortest::shmPath(defaultShareName())));
}

void TestMonitorWorker::runningDriversAreEndedAtStart()
{
    // A driver left over from another start (it waits with one child) is
    // ended with its child before the thread starts its own.
    const QString image = QStringLiteral("dummydrv%1").arg(getpid());
    const QString path = installAs(DUMMYDRIVER_PATH, image);
    QProcess old;
    old.start(path, {});
    QVERIFY(old.waitForStarted());
    QVERIFY(old.waitForReadyRead(5000));
    const qint64 oldChild = old.readLine().trimmed().toLongLong();
    m_driver = path;
    m_worker->begin(m_screen, QSize(480, 800), kUnturned, m_driver);
    QVERIFY(old.waitForFinished(3000));
    QVERIFY(monitortest::waitGone(oldChild, 3000));
    // Its own driver is a new process of the same name. Only our children
    // count: the driver's own child carries the name too until it has
    // started the program it runs.
    QTRY_COMPARE(monitortest::childrenNamed(image).size(), 1);
    const QList<qint64> now = monitortest::childrenNamed(image);
    QCOMPARE(now.size(), 1);
    QVERIFY(now.first() != old.processId());
    QVERIFY(m_worker->stopAndWait(3000));
    QVERIFY(monitortest::waitGone(now.first(), 3000));
}

void TestMonitorWorker::unplugEndsTheLoopAndTerminatesTheDriver()
{
    const QString image = QStringLiteral("fakedrv%1").arg(getpid());
    m_driver = installAs(FAKEDRIVER_PATH, image);
    m_worker->begin(m_screen, QSize(480, 800), kUnturned, m_driver);
    const uint64_t before = m_portrait->frameSerial();
    QTRY_VERIFY_WITH_TIMEOUT(m_portrait->frameSerial() >= before + 2, 5000);
    const QList<qint64> drivers = monitortest::waitForProcesses(image, 1000);
    QCOMPARE(drivers.size(), 1);
    m_bus->unplug(m_portraitSlot);
    // No stop request: the failed transfer alone ends the thread, and the
    // driver it started goes with it.
    QTRY_VERIFY_WITH_TIMEOUT(m_worker->isFinished(), 3000);
    QVERIFY(monitortest::waitGone(drivers.first(), 3000));
    // The thread closed the share after its driver: as its last user it
    // removed the names.
    QVERIFY(!QFile::exists(monitortest::shmPath(defaultShareName())));
    QVERIFY(!QFile::exists(monitortest::shmPath(defaultEventName())));
}

void TestMonitorWorker::failedTransferEndsTheLoop()
{
    m_worker->begin(m_screen, QSize(480, 800), kUnturned, m_driver);
    const auto share = waitForShare(480, 800);
    QVERIFY(share);
    sim::Faults stall;
    stall.failEvery = 1;
    m_portrait->setFaults(stall);
    const Bytes picture = monitortest::pattern(480, 800, 1920, 9);
    QVERIFY(publishFrame(*share, picture.data(), 1920, 800));
    QTRY_VERIFY_WITH_TIMEOUT(m_worker->isFinished(), 3000);
    // The header failed, so no picture data followed it; only the closing
    // blank was tried.
    const auto log = m_portrait->requests();
    QCOMPARE(log.size(), size_t(2));
    QCOMPARE(log[0].outcome, sim::Reply::Kind::Stall);
    QCOMPARE(log[1].kind, sim::RequestRecord::Kind::BulkOut);
}

void TestMonitorWorker::noScreenWritesMessageAndLeavesDriverAlone()
{
    const QString image = QStringLiteral("dummydrv%1").arg(getpid());
    const QString path = installAs(DUMMYDRIVER_PATH, image);
    QProcess running;
    running.start(path, {});
    QVERIFY(running.waitForStarted());
    m_driver = path;
    m_worker->begin(nullptr, QSize(480, 800), kUnturned, m_driver);
    QVERIFY(m_worker->wait(QDeadlineTimer(2000)));
    QVERIFY(m_log->contains(QStringLiteral("No screen connected.")));
    QVERIFY(!running.waitForFinished(300));
    QCOMPARE(running.state(), QProcess::Running);
    platform::endProcessTrees(image.toStdString());
    QVERIFY(running.waitForFinished(3000));
}

void TestMonitorWorker::screenTooLargeForTheShareIsRefused()
{
    // 4096 x 4096 pixels of 4 bytes would need 64 MiB of share.
    m_worker->begin(m_screen, QSize(4096, 4096), kUnturned, m_driver);
    QVERIFY(m_worker->wait(QDeadlineTimer(2000)));
    QVERIFY(m_portrait->requests().empty());
    QCOMPARE(m_log->messages().filter(QStringLiteral("does not fit")).size(), 1);
}

void TestMonitorWorker::shareOfAnotherUserIsRefusedWithTheReason()
{
    const QString unavailable = monitortest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(unavailable));
    // Another user takes our share's name before we start.
    const QString path = monitortest::shmPath(defaultShareName());
    QVERIFY(!QFile::exists(path));
    QVERIFY(monitortest::runAsOtherUser(QStringLiteral("umask 0; : > \"$0\""), {path}));
    const auto removeIt = qScopeGuard([&] { QFile::remove(path); });
    m_worker->begin(m_screen, QSize(480, 800), kUnturned, m_driver);
    QVERIFY(m_worker->wait(QDeadlineTimer(3000)));
    const QStringList log = m_log->messages();
    const QString reason = QStringLiteral("The frame share %1 belongs to another user (uid %2); monitor mode will "
                                          "not use it.")
                               .arg(path)
                               .arg(monitortest::kOtherUser);
    const qsizetype at = log.indexOf(reason);
    QVERIFY2(at >= 0, qPrintable(log.join(QLatin1Char('\n'))));
    QCOMPARE(log.value(at + 1), QStringLiteral("Can not create frame, need to be admin."));
    QVERIFY(m_portrait->requests().empty());
    QVERIFY(!monitortest::mappedHere(path));
    QVERIFY(!QFile::exists(monitortest::shmPath(defaultEventName())));
}

void TestMonitorWorker::nameTakenByAnotherUserCannotStopAPrivateRuntimeFolder()
{
    const QString unavailable = monitortest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(unavailable));
    // Anyone may create names in /dev/shm: another user takes ours there
    // first. With a runtime folder of our own the share lives out of reach.
    const QStringList taken{monitortest::shmPath(defaultShareName()), monitortest::shmPath(defaultEventName())};
    QVERIFY(monitortest::runAsOtherUser(QStringLiteral("umask 0; : > \"$0\"; : > \"$1\""), taken));
    QTemporaryDir runtime;
    QVERIFY(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    const auto restore = qScopeGuard([&] {
        qunsetenv("XDG_RUNTIME_DIR");
        for (const QString &path : taken)
            QFile::remove(path);
    });
    const QString image = QStringLiteral("fakedrv%1").arg(getpid());
    m_driver = installAs(FAKEDRIVER_PATH, image);
    m_screen = openScreen(kLandscape);
    QVERIFY(m_screen);
    const uint64_t before = m_landscape->frameSerial();
    m_worker->begin(m_screen, QSize(800, 480), kUnturned, m_driver);
    QTRY_VERIFY_WITH_TIMEOUT(m_landscape->frameSerial() >= before + 2, 5000);
    const Bytes picture = monitortest::pattern(800, 480, 800 * 4 + 32, 5);
    QVERIFY(m_landscape->lastFrame() == monitortest::expectedFrame(picture.data(), 800 * 4 + 32, 800, 480));
    QVERIFY(QFile::exists(runtime.filePath(defaultShareName())));
    QVERIFY(m_worker->stopAndWait(3000));
}

void TestMonitorWorker::shareCutShortEndsTheLoopAndBlanks()
{
    m_worker->begin(m_screen, QSize(480, 800), kUnturned, m_driver);
    const auto share = waitForShare(480, 800);
    QVERIFY(share);
    const Bytes picture = monitortest::pattern(480, 800, 1920, 3);
    const uint64_t serial = m_portrait->frameSerial();
    QVERIFY(publishFrame(*share, picture.data(), 1920, 800));
    QTRY_COMPARE(m_portrait->frameSerial(), serial + 1);

    // Another program of ours cuts the share short and sets the event: the
    // thread's next look at the share would raise SIGBUS.
    const sim::FrameStats before = m_portrait->frameStats();
    QVERIFY(monitortest::shrinkShared(defaultShareName(), 0));
    share->event().set();
    QTRY_VERIFY_WITH_TIMEOUT(m_worker->isFinished(), 3000);
    QVERIFY2(m_log->contains(QStringLiteral("The frame share was made smaller while in use; monitor mode ends.")),
             qPrintable(m_log->messages().join(QLatin1Char('\n'))));
    QVERIFY(m_log->messages().filter(QStringLiteral("stride")).isEmpty());
    // No frame of zeros as a picture: only the closing blank.
    const sim::FrameStats after = m_portrait->frameStats();
    QCOMPARE(after.headers, before.headers);
    QCOMPARE(after.rawBulkTransfers - before.rawBulkTransfers, uint64_t(1));
    QCOMPARE(after.rawBulkBytes - before.rawBulkBytes, uint64_t(768000));
}

void TestMonitorWorker::driverIsToldWhoStartedIt()
{
    const QString image = QStringLiteral("fakedrv%1").arg(getpid());
    m_driver = installAs(FAKEDRIVER_PATH, image);
    m_worker->begin(m_screen, QSize(480, 800), kUnturned, m_driver);
    const QList<qint64> drivers = monitortest::waitForProcesses(image, 5000);
    QCOMPARE(drivers.size(), 1);
    // Read again while empty: the name of the new program shows a moment
    // before its environment does.
    const auto variables = [&drivers] {
        QFile environment(QStringLiteral("/proc/%1/environ").arg(drivers.first()));
        return environment.open(QIODevice::ReadOnly) ? environment.readAll().split('\0') : QList<QByteArray>();
    };
    QTRY_VERIFY(variables().size() > 1);
    QVERIFY(variables().contains(QByteArray(kParentPidVariable) + '=' + QByteArray::number(qint64(getpid()))));
}

QTEST_GUILESS_MAIN(TestMonitorWorker)
#include "tst_monitorthread.moc"
