// The platform layer under the frame share: named shared memory and the
// auto-reset event, within one process and between two, and ending
// programs by their image name with their children.
#include "monitortestsupport.h"
#include "processes.h"
#include "sharedmemory.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using platform::NamedEvent;
using platform::SharedMemory;
using monitortest::uniqueName;

namespace {

constexpr size_t kSize = 0x800000;

QString shmPath(const QString &name)
{
    return QStringLiteral("/dev/shm/") + name;
}

} // namespace

class TestFrameSharePlatform : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void secondOpenSeesTheSameBlock();
    void blockIsOpenToEveryUserWhateverTheUmask();
    void lastCloseRemovesTheNames();
    void smallerExistingBlockIsEnlargedBeforeUse();
    void unusableNamesAreRefused();

    void setTwiceBeforeAWaitWakesOneWait();
    void setWithNobodyWaitingIsKeptForTheNextWait();
    void oneSetWakesOneOfTwoWaiters();
    void waitWithoutSetTimesOut();
    void scribbledEventWordCountsAsOneSetAndDoesNotSpin();
    void eventSetInAnotherProcessWakesOneWait();
    void twoProcessesSharePictures();

    void endingByNameEndsProgramAndChild();
    void endingByNameSparesProgramsOfOtherNames();
    void callerIsNeverFound();

private:
    QTemporaryDir m_dir;
};

void TestFrameSharePlatform::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestFrameSharePlatform::secondOpenSeesTheSameBlock()
{
    const QString name = uniqueName("mem");
    auto a = SharedMemory::open(name, kSize);
    QVERIFY(a);
    QCOMPARE(a->size(), kSize);
    // A new block is zero-filled to its end.
    QCOMPARE(a->data()[0], uint8_t(0));
    QCOMPARE(a->data()[kSize - 1], uint8_t(0));
    a->data()[12] = 0x5A;
    a->data()[kSize - 1] = 0xA5;
    auto b = SharedMemory::open(name, kSize);
    QVERIFY(b);
    QVERIFY(b->data() != a->data());
    QCOMPARE(b->data()[12], uint8_t(0x5A));
    QCOMPARE(b->data()[kSize - 1], uint8_t(0xA5));
    b->data()[100] = 7;
    QCOMPARE(a->data()[100], uint8_t(7));
}

void TestFrameSharePlatform::blockIsOpenToEveryUserWhateverTheUmask()
{
    const mode_t old = umask(077);
    const QString memory = uniqueName("mem");
    const QString event = uniqueName("evt");
    auto m = SharedMemory::open(memory, 4096);
    auto e = NamedEvent::open(event);
    umask(old);
    QVERIFY(m && e);
    for (const QString &name : {memory, event}) {
        struct stat st{};
        QCOMPARE(stat(shmPath(name).toLocal8Bit().constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0666));
    }
}

void TestFrameSharePlatform::lastCloseRemovesTheNames()
{
    const QString memory = uniqueName("mem");
    const QString event = uniqueName("evt");
    auto m1 = SharedMemory::open(memory, kSize);
    auto m2 = SharedMemory::open(memory, kSize);
    auto e1 = NamedEvent::open(event);
    auto e2 = NamedEvent::open(event);
    QVERIFY(m1 && m2 && e1 && e2);
    m1.reset();
    e1.reset();
    // Still in use by the other: a third opener gets the same object.
    QVERIFY(QFile::exists(shmPath(memory)));
    QVERIFY(QFile::exists(shmPath(event)));
    m2->data()[5] = 42;
    auto m3 = SharedMemory::open(memory, kSize);
    QCOMPARE(m3->data()[5], uint8_t(42));
    m2.reset();
    m3.reset();
    e2.reset();
    QVERIFY(!QFile::exists(shmPath(memory)));
    QVERIFY(!QFile::exists(shmPath(event)));
    // Opened again, it starts afresh.
    auto again = SharedMemory::open(memory, kSize);
    QCOMPARE(again->data()[5], uint8_t(0));
}

void TestFrameSharePlatform::smallerExistingBlockIsEnlargedBeforeUse()
{
    // Someone else made the name first, far too small: touching the end of
    // an 8 MiB mapping of it would fault.
    const QString name = uniqueName("mem");
    const std::string posix = "/" + name.toStdString();
    const int fd = shm_open(posix.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    QVERIFY(fd >= 0);
    QCOMPARE(ftruncate(fd, 4096), 0);
    auto m = SharedMemory::open(name, kSize);
    QVERIFY(m);
    m->data()[kSize - 1] = 1;
    struct stat st{};
    QCOMPARE(fstat(fd, &st), 0);
    QCOMPARE(st.st_size, off_t(kSize));
    ::close(fd);
    m.reset();
    shm_unlink(posix.c_str());
}

void TestFrameSharePlatform::unusableNamesAreRefused()
{
    QVERIFY(!SharedMemory::open(QString(), kSize));
    QVERIFY(!SharedMemory::open(QStringLiteral("a/b"), kSize));
    QVERIFY(!SharedMemory::open(uniqueName("mem"), 0));
    QVERIFY(!NamedEvent::open(QString()));
    QVERIFY(!NamedEvent::open(QStringLiteral("../x")));
}

void TestFrameSharePlatform::setTwiceBeforeAWaitWakesOneWait()
{
    const QString name = uniqueName("evt");
    auto setter = NamedEvent::open(name);
    auto waiter = NamedEvent::open(name);
    QVERIFY(setter && waiter);
    setter->set();
    setter->set();
    QCOMPARE(waiter->wait(0), NamedEvent::Wait::Signalled);
    QCOMPARE(waiter->wait(50), NamedEvent::Wait::TimedOut);
}

void TestFrameSharePlatform::setWithNobodyWaitingIsKeptForTheNextWait()
{
    const QString name = uniqueName("evt");
    auto setter = NamedEvent::open(name);
    setter->set();
    QTest::qWait(50);
    auto late = NamedEvent::open(name); // opened after the set
    QCOMPARE(late->wait(-1), NamedEvent::Wait::Signalled);
    // Auto-reset: the setter's own wait finds it clear now.
    QCOMPARE(setter->wait(0), NamedEvent::Wait::TimedOut);
}

void TestFrameSharePlatform::oneSetWakesOneOfTwoWaiters()
{
    const QString name = uniqueName("evt");
    auto setter = NamedEvent::open(name);
    std::atomic<int> woken{0};
    std::atomic<int> timedOut{0};
    auto waitOnce = [&] {
        auto own = NamedEvent::open(name);
        const NamedEvent::Wait r = own ? own->wait(3000) : NamedEvent::Wait::Failed;
        (r == NamedEvent::Wait::Signalled ? woken : timedOut)++;
    };
    std::thread a(waitOnce);
    std::thread b(waitOnce);
    QTest::qWait(150); // both asleep
    setter->set();
    QTRY_COMPARE(woken.load(), 1);
    QTest::qWait(200);
    QCOMPARE(woken.load(), 1);
    QCOMPARE(timedOut.load(), 0);
    setter->set();
    QTRY_COMPARE(woken.load(), 2);
    a.join();
    b.join();
    QCOMPARE(timedOut.load(), 0);
}

void TestFrameSharePlatform::waitWithoutSetTimesOut()
{
    auto e = NamedEvent::open(uniqueName("evt"));
    QElapsedTimer t;
    t.start();
    QCOMPARE(e->wait(120), NamedEvent::Wait::TimedOut);
    QVERIFY(t.elapsed() >= 110);
    QCOMPARE(e->wait(0), NamedEvent::Wait::TimedOut);
}

void TestFrameSharePlatform::scribbledEventWordCountsAsOneSetAndDoesNotSpin()
{
    // The event is a word in a small named object open to everyone; a value
    // other than 0 or 1 written there is a set, and is cleared by the wait.
    const QString name = uniqueName("evt");
    auto e = NamedEvent::open(name);
    auto raw = SharedMemory::open(name, 4);
    QVERIFY(e && raw);
    const uint32_t junk = 0xDEADBEEF;
    std::memcpy(raw->data(), &junk, 4);
    QCOMPARE(e->wait(0), NamedEvent::Wait::Signalled);
    QCOMPARE(e->wait(100), NamedEvent::Wait::TimedOut);
    uint32_t now = 1;
    std::memcpy(&now, raw->data(), 4);
    QCOMPARE(now, uint32_t(0));
}

void TestFrameSharePlatform::eventSetInAnotherProcessWakesOneWait()
{
    const QString name = uniqueName("evt");
    auto e = NamedEvent::open(name);
    QProcess peer;
    peer.start(QStringLiteral(SHAREPEER_PATH), {QStringLiteral("settwice"), name});
    QVERIFY(peer.waitForFinished(10000));
    QCOMPARE(peer.exitCode(), 0);
    QCOMPARE(e->wait(2000), NamedEvent::Wait::Signalled);
    QCOMPARE(e->wait(100), NamedEvent::Wait::TimedOut);
}

void TestFrameSharePlatform::twoProcessesSharePictures()
{
    // The peer publishes each picture once the previous one was read here;
    // pictures come through the memory, the signals through the events.
    const QString memory = uniqueName("mem");
    const QString event = uniqueName("evt");
    const QString ack = uniqueName("ack");
    constexpr int w = 320;
    constexpr int h = 240;
    constexpr int count = 5;
    auto m = SharedMemory::open(memory, kSize);
    auto picture = NamedEvent::open(event);
    auto done = NamedEvent::open(ack);
    QVERIFY(m && picture && done);
    const int32_t size[2] = {w, h};
    std::memcpy(m->data(), size, sizeof size);

    QProcess peer;
    peer.setProcessChannelMode(QProcess::ForwardedChannels);
    peer.start(QStringLiteral(SHAREPEER_PATH), {QStringLiteral("publish"), memory, event, ack, QString::number(w),
                                               QString::number(h), QString::number(count)});
    QVERIFY(peer.waitForStarted());
    for (int i = 0; i < count; ++i) {
        QCOMPARE(picture->wait(10000), NamedEvent::Wait::Signalled);
        int32_t stride = 0;
        std::memcpy(&stride, m->data() + 12, 4);
        QCOMPARE(stride, w * 4);
        const monitortest::Bytes expected = monitortest::pattern(w, h, w * 4, i);
        QVERIFY2(std::memcmp(m->data() + 16, expected.data(), expected.size()) == 0,
                 qPrintable(QStringLiteral("picture %1 differs").arg(i)));
        done->set();
    }
    QVERIFY(peer.waitForFinished(10000));
    QCOMPARE(peer.exitStatus(), QProcess::NormalExit);
    QCOMPARE(peer.exitCode(), 0);
}

void TestFrameSharePlatform::endingByNameEndsProgramAndChild()
{
    const QString image = QStringLiteral("dummydrv%1").arg(getpid());
    const QString path = m_dir.filePath(image);
    QVERIFY(QFile::copy(QStringLiteral(DUMMYDRIVER_PATH), path));
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcess driver;
    driver.start(path, {});
    QVERIFY(driver.waitForStarted());
    QVERIFY(driver.waitForReadyRead(5000));
    bool ok = false;
    const qint64 child = driver.readLine().trimmed().toLongLong(&ok);
    QVERIFY(ok && child > 0);
    QVERIFY(!monitortest::processGone(child));
    // The child runs another program: only the tree leads to it.
    QTRY_COMPARE(platform::findProcesses(image), QList<qint64>{driver.processId()});

    platform::endProcessTrees(image);
    QVERIFY(driver.waitForFinished(5000));
    QCOMPARE(driver.exitStatus(), QProcess::CrashExit);
    QVERIFY(monitortest::waitGone(child, 5000));
    QVERIFY(platform::findProcesses(image).isEmpty());
    // Nothing left to end: a no-op.
    platform::endProcessTrees(image);
}

void TestFrameSharePlatform::endingByNameSparesProgramsOfOtherNames()
{
    const QString ended = QStringLiteral("dummyend%1").arg(getpid());
    const QString spared = QStringLiteral("dummykeep%1").arg(getpid());
    QProcess a;
    QProcess b;
    for (auto [process, image] : {std::pair{&a, ended}, std::pair{&b, spared}}) {
        const QString path = m_dir.filePath(image);
        QVERIFY(QFile::copy(QStringLiteral(DUMMYDRIVER_PATH), path));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        process->start(path, {});
        QVERIFY(process->waitForStarted());
        QVERIFY(process->waitForReadyRead(5000));
    }
    const qint64 sparedChild = b.readLine().trimmed().toLongLong();
    platform::endProcessTrees(ended);
    QVERIFY(a.waitForFinished(5000));
    QVERIFY(!b.waitForFinished(300));
    QCOMPARE(b.state(), QProcess::Running);
    QVERIFY(!monitortest::processGone(sparedChild));
    // A name that is only a prefix of a running image matches nothing.
    platform::endProcessTrees(QStringLiteral("dummykeep"));
    QVERIFY(!b.waitForFinished(300));
    platform::endProcessTrees(spared);
    QVERIFY(b.waitForFinished(5000));
    QVERIFY(monitortest::waitGone(sparedChild, 5000));
}

void TestFrameSharePlatform::callerIsNeverFound()
{
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    QVERIFY(!platform::findProcesses(self).contains(qint64(getpid())));
    QVERIFY(platform::findProcesses(QString()).isEmpty());
}

QTEST_GUILESS_MAIN(TestFrameSharePlatform)
#include "tst_frameshare_platform.moc"
