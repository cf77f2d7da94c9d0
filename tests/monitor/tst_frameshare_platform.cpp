// The platform layer under the frame share: named shared memory and the
// auto-reset event, within one process and between two; that they are the
// user's own and survive being cut short; and ending programs by their
// image name with their children, of the caller's own user only.
#include "datagram.h"
#include "monitortestsupport.h"
#include "processes.h"
#include "sharedmemory.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <thread>
#include <tuple>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using platform::NamedEvent;
using platform::SharedMemory;
using monitortest::kOtherUser;
using monitortest::mappedHere;
using monitortest::shmPath;
using monitortest::uniqueName;

namespace {

constexpr size_t kSize = 0x800000;

std::string str(const QString &text)
{
    return text.toStdString();
}

QByteArray local(const QString &path)
{
    return path.toLocal8Bit();
}

// Makes /dev/shm/NAME ourselves, as a stale or tampered object would be.
bool makeOwnObject(const QString &name, mode_t mode, off_t size)
{
    const int fd = ::open(local(shmPath(name)).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool made = ftruncate(fd, size) == 0 && fchmod(fd, mode) == 0;
    ::close(fd);
    return made;
}

struct stat statOf(const QString &path)
{
    struct stat st{};
    if (lstat(local(path).constData(), &st) != 0)
        st.st_mode = 0;
    return st;
}

// A copy of a helper program that another user may run too.
QString installOpenToAll(const QTemporaryDir &dir, const QString &source, const QString &name)
{
    const QString path = dir.filePath(name);
    QFile::remove(path);
    if (!QFile::copy(source, path))
        return {};
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                    | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    return path;
}

} // namespace

class TestFrameSharePlatform : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void secondOpenSeesTheSameBlock();
    void lastCloseRemovesTheNames();
    void smallerExistingBlockIsEnlargedBeforeUse();
    void unusableNamesAreRefused();

    void newObjectsAreTheOwnersOnlyWhateverTheUmask_data();
    void newObjectsAreTheOwnersOnlyWhateverTheUmask();
    void objectOfAnotherUserIsRefusedAndLeftAlone_data();
    void objectOfAnotherUserIsRefusedAndLeftAlone();
    void objectOfAnotherUserIsNamedWhenItCannotBeOpened();
    void touchChannelTakesTheUsersOwnMessagesOnly();
    void ownObjectOthersMayUseIsRefused_data();
    void ownObjectOthersMayUseIsRefused();
    void nonRegularFilesAreRefused();
    void objectsLiveInTheRuntimeFolderOnlyWhenItIsPrivate_data();
    void objectsLiveInTheRuntimeFolderOnlyWhenItIsPrivate();

    void blockCutShortReadsZerosAndIsMarkedBroken();
    void blockCutShortInAnotherThreadIsSeenThere();
    void eventCutShortFailsItsWaitsInsteadOfHanging();
    void busErrorsElsewhereStillEndTheProgram();
    void busErrorsElsewhereReachTheProgramsOwnHandler();

    void setTwiceBeforeAWaitWakesOneWait();
    void setWithNobodyWaitingIsKeptForTheNextWait();
    void oneSetWakesOneOfTwoWaiters();
    void waitWithoutSetTimesOut();
    void scribbledEventWordCountsAsOneSetAndDoesNotSpin();
    void eventSetInAnotherProcessWakesOneWait();
    void twoProcessesSharePictures();

    void endingByNameEndsProgramAndChild();
    void endingByNameLetsAProgramTidyUpAndKillsOneThatWillNot();
    void endingByNameSparesProgramsOfOtherNames();
    void endingByNameSparesOtherUsersPrograms();
    void callerIsNeverFound();

private:
    QTemporaryDir m_dir;
};

void TestFrameSharePlatform::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The objects go to /dev/shm unless a test gives them a runtime folder.
    qunsetenv("XDG_RUNTIME_DIR");
}

void TestFrameSharePlatform::secondOpenSeesTheSameBlock()
{
    const QString name = uniqueName("mem");
    auto a = SharedMemory::open(str(name), kSize);
    QVERIFY(a);
    QCOMPARE(a->size(), kSize);
    // A new block is zero-filled to its end.
    QCOMPARE(a->data()[0], uint8_t(0));
    QCOMPARE(a->data()[kSize - 1], uint8_t(0));
    a->data()[12] = 0x5A;
    a->data()[kSize - 1] = 0xA5;
    auto b = SharedMemory::open(str(name), kSize);
    QVERIFY(b);
    QVERIFY(b->data() != a->data());
    QCOMPARE(b->data()[12], uint8_t(0x5A));
    QCOMPARE(b->data()[kSize - 1], uint8_t(0xA5));
    b->data()[100] = 7;
    QCOMPARE(a->data()[100], uint8_t(7));
}

void TestFrameSharePlatform::lastCloseRemovesTheNames()
{
    const QString memory = uniqueName("mem");
    const QString event = uniqueName("evt");
    auto m1 = SharedMemory::open(str(memory), kSize);
    auto m2 = SharedMemory::open(str(memory), kSize);
    auto e1 = NamedEvent::open(str(event));
    auto e2 = NamedEvent::open(str(event));
    QVERIFY(m1 && m2 && e1 && e2);
    m1.reset();
    e1.reset();
    // Still in use by the other: a third opener gets the same object.
    QVERIFY(QFile::exists(shmPath(memory)));
    QVERIFY(QFile::exists(shmPath(event)));
    m2->data()[5] = 42;
    auto m3 = SharedMemory::open(str(memory), kSize);
    QCOMPARE(m3->data()[5], uint8_t(42));
    m2.reset();
    m3.reset();
    e2.reset();
    QVERIFY(!QFile::exists(shmPath(memory)));
    QVERIFY(!QFile::exists(shmPath(event)));
    // Opened again, it starts afresh.
    auto again = SharedMemory::open(str(memory), kSize);
    QCOMPARE(again->data()[5], uint8_t(0));
}

void TestFrameSharePlatform::smallerExistingBlockIsEnlargedBeforeUse()
{
    // Another program of ours made the name first, far too small: touching
    // the end of an 8 MiB mapping of it would fault.
    const QString name = uniqueName("mem");
    const std::string posix = "/" + name.toStdString();
    const int fd = shm_open(posix.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    QVERIFY(fd >= 0);
    QCOMPARE(ftruncate(fd, 4096), 0);
    auto m = SharedMemory::open(str(name), kSize);
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
    QVERIFY(!SharedMemory::open({}, kSize));
    QVERIFY(!SharedMemory::open("a/b", kSize));
    QVERIFY(!SharedMemory::open("..", kSize));
    QVERIFY(!SharedMemory::open(str(uniqueName("mem")), 0));
    QVERIFY(!NamedEvent::open({}));
    QVERIFY(!NamedEvent::open("../x"));
    std::string why;
    QVERIFY(!NamedEvent::open("a/b", &why));
    QVERIFY2(why.find("\"a/b\"") != std::string::npos, why.c_str());
}

void TestFrameSharePlatform::newObjectsAreTheOwnersOnlyWhateverTheUmask_data()
{
    QTest::addColumn<int>("mask");
    QTest::newRow("umask 0000") << 0;
    QTest::newRow("umask 0022") << 022;
    QTest::newRow("umask 0077") << 077;
    // Would take the owner's own writing away.
    QTest::newRow("umask 0277") << 0277;
}

void TestFrameSharePlatform::newObjectsAreTheOwnersOnlyWhateverTheUmask()
{
    QFETCH(int, mask);
    const mode_t old = umask(mode_t(mask));
    const QString memory = uniqueName("mem");
    const QString event = uniqueName("evt");
    auto m = SharedMemory::open(str(memory), 4096);
    auto e = NamedEvent::open(str(event));
    umask(old);
    QVERIFY(m && e);
    for (const QString &name : {memory, event}) {
        const struct stat st = statOf(shmPath(name));
        QVERIFY(S_ISREG(st.st_mode));
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
        QCOMPARE(st.st_uid, geteuid());
    }
}

void TestFrameSharePlatform::objectOfAnotherUserIsRefusedAndLeftAlone_data()
{
    QTest::addColumn<QString>("mode");
    // Root may open either; neither is ours to use.
    QTest::newRow("0600") << QStringLiteral("600");
    QTest::newRow("0666") << QStringLiteral("666");
}

void TestFrameSharePlatform::objectOfAnotherUserIsRefusedAndLeftAlone()
{
    const QString unavailable = monitortest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(unavailable));
    QFETCH(QString, mode);
    for (const bool asEvent : {false, true}) {
        // The other user takes the name first, with 4 bytes of its own in it.
        const QString name = uniqueName(asEvent ? "evt" : "mem");
        const QString path = shmPath(name);
        QVERIFY(monitortest::runAsOtherUser(QStringLiteral("umask 077; printf abcd > \"$0\"; chmod \"$1\" \"$0\""),
                                            {path, mode}));
        QCOMPARE(statOf(path).st_uid, uid_t(kOtherUser));
        std::string why;
        const bool opened = asEvent ? bool(NamedEvent::open(str(name), &why)) : bool(SharedMemory::open(str(name), kSize, &why));
        QVERIFY(!opened);
        QCOMPARE(QString::fromStdString(why),
                 QStringLiteral("%1 belongs to another user (uid %2)").arg(path).arg(kOtherUser));
        // Nothing of it was mapped, enlarged, written or removed.
        QVERIFY(!mappedHere(path));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("abcd"));
        QCOMPARE(statOf(path).st_mode & 07777, mode_t(mode.toUInt(nullptr, 8)));
        QCOMPARE(::unlink(local(path).constData()), 0);
    }
}

void TestFrameSharePlatform::objectOfAnotherUserIsNamedWhenItCannotBeOpened()
{
    // The other user cannot open our 0600 object at all (EACCES, as root
    // gets for someone else's file in /dev/shm under fs.protected_regular);
    // the reason still names the owner.
    const QString unavailable = monitortest::otherUserUnavailable({QStringLiteral(SHAREPEER_PATH)});
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(unavailable));
    const QString name = uniqueName("mem");
    auto ours = SharedMemory::open(str(name), 4096);
    QVERIFY(ours);
    ours->data()[0] = 0x42;
    QProcess peer;
    monitortest::startAsOtherUser(peer, QStringLiteral(SHAREPEER_PATH), {QStringLiteral("open"), name});
    QVERIFY(peer.waitForFinished(10000));
    QCOMPARE(peer.exitCode(), 1);
    QCOMPARE(QString::fromLocal8Bit(peer.readAllStandardOutput()).trimmed(),
             QStringLiteral("%1 belongs to another user (uid %2)").arg(shmPath(name)).arg(geteuid()));
    QCOMPARE(ours->data()[0], uint8_t(0x42));
    QCOMPARE(statOf(shmPath(name)).st_size, off_t(4096));
}

void TestFrameSharePlatform::touchChannelTakesTheUsersOwnMessagesOnly()
{
    const QString unavailable = monitortest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(unavailable));
    const QString send = QStringLiteral(
        "python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM).sendto(b\"x\"*4, sys.argv[1])' "
        "\"$0\"");
    const QString name = uniqueName("touch");
    const QString path = shmPath(name);
    auto receiver = platform::DatagramReceiver::open(str(name));
    QVERIFY(receiver);
    QCOMPARE(statOf(path).st_mode & 07777, mode_t(0600));
    // Another user cannot reach it, and what they send once it was made
    // wider is dropped: ours, sent after, is the one message taken.
    QVERIFY(!monitortest::runAsOtherUser(send, {path}));
    QCOMPARE(chmod(local(path).constData(), 0666), 0);
    QVERIFY(monitortest::runAsOtherUser(send, {path}));
    QCOMPARE(chmod(local(path).constData(), 0600), 0);
    platform::DatagramSender sender(str(name));
    QVERIFY(sender.send("ours", 4));
    char got[4] = {};
    QVERIFY(!receiver->receive(got, sizeof got, 5000));
    QVERIFY(receiver->receive(got, sizeof got, 5000));
    QCOMPARE(QByteArray(got, 4), QByteArray("ours"));

    // A socket another user bound first under the name is neither taken
    // over nor sent to.
    const QString taken = uniqueName("touch");
    QVERIFY(monitortest::runAsOtherUser(
        QStringLiteral("python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM).bind(sys.argv[1])' "
                       "\"$0\""),
        {shmPath(taken)}));
    std::string why;
    QVERIFY(!platform::DatagramReceiver::open(str(taken), &why));
    QCOMPARE(QString::fromStdString(why), shmPath(taken) + QStringLiteral(" belongs to another user"));
    platform::DatagramSender toTaken(str(taken));
    QVERIFY(!toTaken.send("ours", 4, &why));
    QCOMPARE(statOf(shmPath(taken)).st_uid, uid_t(kOtherUser));
    QCOMPARE(::unlink(local(shmPath(taken)).constData()), 0);
}

void TestFrameSharePlatform::ownObjectOthersMayUseIsRefused_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("reason");
    QTest::newRow("0644") << 0644 << QStringLiteral("may be used by other users (mode 0644)");
    QTest::newRow("0666") << 0666 << QStringLiteral("may be used by other users (mode 0666)");
    QTest::newRow("0620") << 0620 << QStringLiteral("may be used by other users (mode 0620)");
    QTest::newRow("0700") << 0700 << QStringLiteral("has modes wider than 0600 (mode 0700)");
}

void TestFrameSharePlatform::ownObjectOthersMayUseIsRefused()
{
    QFETCH(int, mode);
    QFETCH(QString, reason);
    for (const bool asEvent : {false, true}) {
        const QString name = uniqueName(asEvent ? "evt" : "mem");
        const QString path = shmPath(name);
        QVERIFY(makeOwnObject(name, mode_t(mode), 64));
        std::string why;
        const bool opened = asEvent ? bool(NamedEvent::open(str(name), &why)) : bool(SharedMemory::open(str(name), kSize, &why));
        QVERIFY(!opened);
        QCOMPARE(QString::fromStdString(why), path + QLatin1Char(' ') + reason);
        QVERIFY(!mappedHere(path));
        const struct stat st = statOf(path);
        QCOMPARE(st.st_size, off_t(64));
        QCOMPARE(st.st_mode & 07777, mode_t(mode));
        QCOMPARE(::unlink(local(path).constData()), 0);
    }
}

void TestFrameSharePlatform::nonRegularFilesAreRefused()
{
    const QString fifo = uniqueName("fifo");
    QCOMPARE(mkfifo(local(shmPath(fifo)).constData(), 0600), 0);
    // A link to an object of our own would still let whoever made the link
    // choose which file we write.
    const QString target = uniqueName("target");
    QVERIFY(makeOwnObject(target, 0600, 64));
    const QString link = uniqueName("link");
    QCOMPARE(symlink(local(shmPath(target)).constData(), local(shmPath(link)).constData()), 0);
    const QString folder = uniqueName("dir");
    QCOMPARE(mkdir(local(shmPath(folder)).constData(), 0700), 0);
    // A second name would outlive ours and could be anybody's way in.
    const QString hardLink = uniqueName("hardlink");
    QCOMPARE(::link(local(shmPath(target)).constData(), local(shmPath(hardLink)).constData()), 0);

    const struct {
        QString name;
        QString reason;
    } cases[] = {{fifo, QStringLiteral("is not a regular file")},
                 {link, QStringLiteral("is not a regular file (it is a symbolic link)")},
                 {folder, QStringLiteral("is not a regular file")},
                 {hardLink, QStringLiteral("has more than one name (2 links)")}};
    for (const auto &c : cases) {
        std::string why;
        QElapsedTimer t;
        t.start();
        QVERIFY(!SharedMemory::open(str(c.name), kSize, &why));
        QVERIFY(t.elapsed() < 2000); // a FIFO is not waited on
        QCOMPARE(QString::fromStdString(why), shmPath(c.name) + QLatin1Char(' ') + c.reason);
        QVERIFY(!NamedEvent::open(str(c.name), &why));
        QCOMPARE(QString::fromStdString(why), shmPath(c.name) + QLatin1Char(' ') + c.reason);
    }
    QCOMPARE(statOf(shmPath(target)).st_size, off_t(64));
    QVERIFY(!mappedHere(shmPath(target)));
    for (const QString &name : {fifo, target, link, hardLink})
        QCOMPARE(::unlink(local(shmPath(name)).constData()), 0);
    QCOMPARE(::rmdir(local(shmPath(folder)).constData()), 0);
}

void TestFrameSharePlatform::objectsLiveInTheRuntimeFolderOnlyWhenItIsPrivate_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("used");
    QTest::newRow("0700, ours") << 0700 << true;
    QTest::newRow("others may enter") << 0711 << false;
    QTest::newRow("others may write") << 0777 << false;
}

void TestFrameSharePlatform::objectsLiveInTheRuntimeFolderOnlyWhenItIsPrivate()
{
    QFETCH(int, mode);
    QFETCH(bool, used);
    QTemporaryDir runtime;
    QCOMPARE(::chmod(local(runtime.path()).constData(), mode_t(mode)), 0);
    qputenv("XDG_RUNTIME_DIR", local(runtime.path()));
    const auto unset = qScopeGuard([] { qunsetenv("XDG_RUNTIME_DIR"); });
    const QString memory = uniqueName("mem");
    const QString event = uniqueName("evt");
    auto m = SharedMemory::open(str(memory), 4096);
    auto e = NamedEvent::open(str(event));
    QVERIFY(m && e);
    for (const QString &name : {memory, event}) {
        const QString path = used ? runtime.filePath(name) : shmPath(name);
        QCOMPARE(statOf(path).st_mode & 07777, mode_t(0600));
        QCOMPARE(QFile::exists(used ? shmPath(name) : runtime.filePath(name)), false);
    }
    m.reset();
    e.reset();
    QVERIFY(QDir(runtime.path()).isEmpty());
}

void TestFrameSharePlatform::blockCutShortReadsZerosAndIsMarkedBroken()
{
    const QString name = uniqueName("mem");
    const QString other = uniqueName("mem");
    auto m = SharedMemory::open(str(name), kSize);
    auto untouched = SharedMemory::open(str(other), kSize);
    QVERIFY(m && untouched);
    m->data()[0] = 1;
    m->data()[kSize - 1] = 0xA5;
    untouched->data()[7] = 9;
    QVERIFY(!m->broken());
    QVERIFY(monitortest::shrinkShared(name, 0));
    // A read past the new end would raise SIGBUS: it reads zero instead.
    const volatile uint8_t *bytes = m->data();
    QCOMPARE(uint8_t(bytes[kSize - 1]), uint8_t(0));
    QVERIFY(m->broken());
    QCOMPARE(uint8_t(bytes[0]), uint8_t(0));
    // Writes go nowhere, but do not fault either.
    m->data()[kSize / 2] = 3;
    QCOMPARE(m->data()[kSize / 2], uint8_t(3));
    QVERIFY(m->broken());
    QVERIFY(!untouched->broken());
    QCOMPARE(untouched->data()[7], uint8_t(9));
    QVERIFY(!mappedHere(shmPath(name)));
    QVERIFY(mappedHere(shmPath(other)));
    // Closing a broken block still removes the name as its last user.
    m.reset();
    QVERIFY(!QFile::exists(shmPath(name)));
}

void TestFrameSharePlatform::blockCutShortInAnotherThreadIsSeenThere()
{
    // The fault and its repair happen on the reading thread while the main
    // thread goes on with its own block: the handler shares nothing else.
    const QString name = uniqueName("mem");
    auto m = SharedMemory::open(str(name), kSize);
    QVERIFY(m);
    std::memset(m->data(), 0x11, kSize);
    std::atomic<bool> cut{false};
    std::atomic<int> sum{-1};
    std::thread reader([&] {
        while (!cut.load(std::memory_order_acquire))
            std::this_thread::yield();
        // From the end: the first read faults, and every page is zeros then.
        int total = 0;
        for (size_t i = kSize; i > 0; i -= 4096)
            total += m->data()[i - 1];
        sum.store(total, std::memory_order_release);
    });
    QVERIFY(monitortest::shrinkShared(name, 4096));
    cut.store(true, std::memory_order_release);
    reader.join();
    QVERIFY(m->broken());
    QCOMPARE(sum.load(), 0);
}

void TestFrameSharePlatform::eventCutShortFailsItsWaitsInsteadOfHanging()
{
    const QString name = uniqueName("evt");
    auto e = NamedEvent::open(str(name));
    auto peer = NamedEvent::open(str(name));
    QVERIFY(e && peer);
    QVERIFY(monitortest::shrinkShared(name, 0));
    e->set();
    QVERIFY(e->broken());
    QElapsedTimer t;
    t.start();
    QCOMPARE(e->wait(-1), NamedEvent::Wait::Failed);
    QCOMPARE(e->wait(0), NamedEvent::Wait::Failed);
    QVERIFY(t.elapsed() < 1000);
    QVERIFY(!peer->broken());
    QCOMPARE(peer->wait(-1), NamedEvent::Wait::Failed);
    QVERIFY(peer->broken());
}

namespace {

// The helper's environment with the sanitizers' own SIGBUS reports off:
// the fault must meet the default action, not their handler.
QProcessEnvironment withoutSanitizerBusHandler()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &name : {QStringLiteral("ASAN_OPTIONS"), QStringLiteral("TSAN_OPTIONS")}) {
        const QString old = env.value(name);
        env.insert(name, old.isEmpty() ? QStringLiteral("handle_sigbus=0") : old + QStringLiteral(":handle_sigbus=0"));
    }
    return env;
}

} // namespace

void TestFrameSharePlatform::busErrorsElsewhereStillEndTheProgram()
{
    const QString name = uniqueName("mem");
    // A killed process closes nothing: its object is removed here.
    const auto removeIt = qScopeGuard([&] { QFile::remove(shmPath(name)); });
    QProcess peer;
    peer.setProcessEnvironment(withoutSanitizerBusHandler());
    peer.start(QStringLiteral(SHAREPEER_PATH), {QStringLiteral("foreignbus"), name});
    QVERIFY(peer.waitForFinished(10000));
    QCOMPARE(peer.exitStatus(), QProcess::CrashExit);
    QCOMPARE(peer.exitCode(), SIGBUS);
}

void TestFrameSharePlatform::busErrorsElsewhereReachTheProgramsOwnHandler()
{
    const QString name = uniqueName("mem");
    const auto removeIt = qScopeGuard([&] { QFile::remove(shmPath(name)); });
    QProcess peer;
    peer.setProcessEnvironment(withoutSanitizerBusHandler());
    peer.start(QStringLiteral(SHAREPEER_PATH), {QStringLiteral("foreignbus"), name, QStringLiteral("chained")});
    QVERIFY(peer.waitForFinished(10000));
    QCOMPARE(peer.exitStatus(), QProcess::NormalExit);
    QCOMPARE(peer.exitCode(), 42);
}

void TestFrameSharePlatform::setTwiceBeforeAWaitWakesOneWait()
{
    const QString name = uniqueName("evt");
    auto setter = NamedEvent::open(str(name));
    auto waiter = NamedEvent::open(str(name));
    QVERIFY(setter && waiter);
    setter->set();
    setter->set();
    QCOMPARE(waiter->wait(0), NamedEvent::Wait::Signalled);
    QCOMPARE(waiter->wait(50), NamedEvent::Wait::TimedOut);
}

void TestFrameSharePlatform::setWithNobodyWaitingIsKeptForTheNextWait()
{
    const QString name = uniqueName("evt");
    auto setter = NamedEvent::open(str(name));
    setter->set();
    QTest::qWait(50);
    auto late = NamedEvent::open(str(name)); // opened after the set
    QCOMPARE(late->wait(-1), NamedEvent::Wait::Signalled);
    // Auto-reset: the setter's own wait finds it clear now.
    QCOMPARE(setter->wait(0), NamedEvent::Wait::TimedOut);
}

void TestFrameSharePlatform::oneSetWakesOneOfTwoWaiters()
{
    const QString name = uniqueName("evt");
    auto setter = NamedEvent::open(str(name));
    std::atomic<int> woken{0};
    std::atomic<int> timedOut{0};
    auto waitOnce = [&] {
        auto own = NamedEvent::open(str(name));
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
    auto e = NamedEvent::open(str(uniqueName("evt")));
    QElapsedTimer t;
    t.start();
    QCOMPARE(e->wait(120), NamedEvent::Wait::TimedOut);
    QVERIFY(t.elapsed() >= 110);
    QCOMPARE(e->wait(0), NamedEvent::Wait::TimedOut);
}

void TestFrameSharePlatform::scribbledEventWordCountsAsOneSetAndDoesNotSpin()
{
    // The event is a word in a small named object any program of ours may
    // write; a value other than 0 or 1 there is a set, cleared by the wait.
    const QString name = uniqueName("evt");
    auto e = NamedEvent::open(str(name));
    auto raw = SharedMemory::open(str(name), 4);
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
    auto e = NamedEvent::open(str(name));
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
    auto m = SharedMemory::open(str(memory), kSize);
    auto picture = NamedEvent::open(str(event));
    auto done = NamedEvent::open(str(ack));
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
    QVERIFY(driver.waitForReadyRead(monitortest::kProcessStartPatienceMs));
    bool ok = false;
    const qint64 child = driver.readLine().trimmed().toLongLong(&ok);
    QVERIFY(ok && child > 0);
    QVERIFY(!monitortest::processGone(child));
    // The child runs another program: only the tree leads to it.
    QTRY_COMPARE(platform::findProcesses(str(image)), std::vector<int64_t>{driver.processId()});

    platform::endProcessTrees(str(image));
    QVERIFY(driver.waitForFinished(monitortest::kProcessEndPatienceMs));
    QCOMPARE(driver.exitStatus(), QProcess::CrashExit);
    QVERIFY(monitortest::waitGone(child));
    QVERIFY(platform::findProcesses(str(image)).empty());
    // Nothing left to end: a no-op.
    platform::endProcessTrees(str(image));
}

void TestFrameSharePlatform::endingByNameLetsAProgramTidyUpAndKillsOneThatWillNot()
{
    // A driver asked to end gives the desktop back first; one that does not
    // listen is ended all the same, after the grace.
    const QString tidy = QStringLiteral("dummytidy%1").arg(getpid());
    const QString stubborn = QStringLiteral("dummystub%1").arg(getpid());
    QProcess a;
    QProcess b;
    for (auto [process, image, how] : {std::tuple{&a, tidy, "tidy"}, std::tuple{&b, stubborn, "stubborn"}}) {
        const QString path = m_dir.filePath(image);
        QVERIFY(QFile::copy(QStringLiteral(DUMMYDRIVER_PATH), path));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        process->start(path, {QString::fromLatin1(how)});
        QVERIFY(process->waitForStarted());
        QVERIFY(process->waitForReadyRead(monitortest::kProcessStartPatienceMs));
        process->readLine();
    }
    platform::endProcessTrees(str(tidy));
    QVERIFY(a.waitForFinished(monitortest::kProcessEndPatienceMs));
    QCOMPARE(a.exitStatus(), QProcess::NormalExit);
    QCOMPARE(a.readAll(), QByteArray("tidied\n"));

    QElapsedTimer t;
    t.start();
    platform::endProcessTrees(str(stubborn));
    QVERIFY(b.waitForFinished(monitortest::kProcessEndPatienceMs));
    QCOMPARE(b.exitStatus(), QProcess::CrashExit);
    QVERIFY2(t.elapsed() >= platform::kEndGraceMs - 100, qPrintable(QString::number(t.elapsed())));
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
        QVERIFY(process->waitForReadyRead(monitortest::kProcessStartPatienceMs));
    }
    const qint64 sparedChild = b.readLine().trimmed().toLongLong();
    platform::endProcessTrees(str(ended));
    QVERIFY(a.waitForFinished(monitortest::kProcessEndPatienceMs));
    QVERIFY(!b.waitForFinished(300));
    QCOMPARE(b.state(), QProcess::Running);
    QVERIFY(!monitortest::processGone(sparedChild));
    // A name that is only a prefix of a running image matches nothing.
    platform::endProcessTrees("dummykeep");
    QVERIFY(!b.waitForFinished(300));
    platform::endProcessTrees(str(spared));
    QVERIFY(b.waitForFinished(monitortest::kProcessEndPatienceMs));
    QVERIFY(monitortest::waitGone(sparedChild));
}

void TestFrameSharePlatform::endingByNameSparesOtherUsersPrograms()
{
    // Two users each run a driver of the same name; root ends its own.
    QTemporaryDir shared;
    QVERIFY(shared.isValid());
    QFile::setPermissions(shared.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                             | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    const QString image = QStringLiteral("dummyboth%1").arg(getpid());
    const QString path = installOpenToAll(shared, QStringLiteral(DUMMYDRIVER_PATH), image);
    QVERIFY(!path.isEmpty());
    const QString unavailable = monitortest::otherUserUnavailable({path});
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(unavailable));
    QProcess theirs;
    monitortest::startAsOtherUser(theirs, path, {});
    QProcess mine;
    mine.start(path, {});
    qint64 children[2] = {0, 0};
    int i = 0;
    for (QProcess *p : {&theirs, &mine}) {
        QVERIFY(p->waitForStarted());
        QVERIFY(p->waitForReadyRead(monitortest::kProcessStartPatienceMs));
        bool ok = false;
        children[i++] = p->readLine().trimmed().toLongLong(&ok);
        QVERIFY(ok);
    }
    // setpriv has become the program itself: both are found by the name.
    QTRY_COMPARE(platform::findProcesses(str(image)).size(), size_t(2));

    platform::endProcessTrees(str(image));
    QVERIFY(mine.waitForFinished(monitortest::kProcessEndPatienceMs));
    QVERIFY(monitortest::waitGone(children[1]));
    QVERIFY(!theirs.waitForFinished(300));
    QCOMPARE(theirs.state(), QProcess::Running);
    QVERIFY(!monitortest::processGone(children[0]));

    ::kill(pid_t(children[0]), SIGKILL);
    theirs.kill();
    QVERIFY(theirs.waitForFinished(monitortest::kProcessEndPatienceMs));
    QVERIFY(monitortest::waitGone(children[0]));
}

void TestFrameSharePlatform::callerIsNeverFound()
{
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const std::vector<int64_t> found = platform::findProcesses(str(self));
    QVERIFY(std::find(found.begin(), found.end(), int64_t(getpid())) == found.end());
    QVERIFY(platform::findProcesses({}).empty());
}

QTEST_GUILESS_MAIN(TestFrameSharePlatform)
#include "tst_frameshare_platform.moc"
