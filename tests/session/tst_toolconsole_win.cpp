// Windows: how the boot-loader tools are started. A tool on the console of
// the program that started it gets that console's Ctrl-Break and closing (a
// process group of its own keeps off Ctrl-C alone) and dies in the middle
// of its write. Run under Wine with a console window, as a program started
// from a terminal has; this program, started with --tool, plays the tool.
#include "upgrade.h"

#include <QProcess>
#include <QTest>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

class TestToolConsole : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void toolIsOffTheConsole_data();
    void toolIsOffTheConsole();
};

void TestToolConsole::initTestCase()
{
    FreeConsole();
    QVERIFY(AllocConsole());
    // Without a console window Qt starts every child without the console
    // itself: there is nothing to tell apart.
    if (!GetConsoleWindow())
        QSKIP("no console window (no display)");
}

void TestToolConsole::toolIsOffTheConsole_data()
{
    QTest::addColumn<bool>("asTool");
    QTest::addColumn<bool>("onOurConsole");
    QTest::newRow("a child started plainly shares the console") << false << true;
    QTest::newRow("a tool has none of it") << true << false;
}

void TestToolConsole::toolIsOffTheConsole()
{
    QFETCH(bool, asTool);
    QFETCH(bool, onOurConsole);
    QProcess child;
    if (asTool)
        session::inOwnProcessGroup(child);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--tool")});
    // Once it writes, it runs with whatever console it was given.
    const bool started = child.waitForStarted() && child.waitForReadyRead(60000);
    DWORD ids[64];
    const DWORD n = std::min<DWORD>(GetConsoleProcessList(ids, 64), 64);
    const bool listed = std::find(ids, ids + n, DWORD(child.processId())) != ids + n;
    child.kill();
    child.waitForFinished();
    QVERIFY(started);
    QCOMPARE(listed, onOurConsole);
}

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--tool") == 0) {
        std::fputs("ready\n", stdout);
        std::fflush(stdout);
        Sleep(60000);
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestToolConsole test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_toolconsole_win.moc"
