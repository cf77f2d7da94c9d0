// The screen list as scans keep it: which entries stay, go and come, which
// one is chosen afterwards, and which screens a scan must identify.
#include "screenlist.h"

#include <QTest>

using namespace session;
using screenlink::DeviceKind;

namespace {

FoundDevice device(int index, DeviceKind kind, int port, int address = 10)
{
    return {index, kind, 1, port, address};
}

QStringList texts(const ScreenList &list)
{
    QStringList out;
    for (const ListEntry &e : list.entries())
        out << e.text;
    return out;
}

} // namespace

class TestScreenList : public QObject {
    Q_OBJECT

private slots:
    void firstScreenBecomesTheChosenOne();
    void runningScreensAreListedByNameAndIdOnlyOnceIdentified();
    void portOneAndPortTwelveStayApart();
    void chosenScreenGoneChoosesTheFirstLeft();
    void otherKindAtTheSamePortIsListedAfresh();
    void chosenScreenBackBetweenScansIsListedAfreshAndStaysChosen();
    void onlyNewRunningScreensAreIdentified();
};

void TestScreenList::firstScreenBecomesTheChosenOne()
{
    ScreenList list;
    ScanFindings none;
    QVERIFY(!list.apply(none, {}));
    QCOMPARE(list.current(), -1);
    ScanFindings one;
    one.devices = {device(3, DeviceKind::TelvBootLoader, 4)};
    QVERIFY(list.apply(one, {}));
    QCOMPARE(texts(list), QStringList{QStringLiteral("3,TELV,PHY(1.4)")});
    QCOMPARE(list.current(), 0);
    // The same scan again changes nothing and asks for no selection.
    QVERIFY(!list.apply(one, {}));
    QCOMPARE(list.current(), 0);
}

void TestScreenList::runningScreensAreListedByNameAndIdOnlyOnceIdentified()
{
    ScreenList list;
    ScanFindings scan;
    scan.devices = {device(0, DeviceKind::RunningScreen, 4)};
    // Not identified (it could not be opened): not listed this time.
    QVERIFY(!list.apply(scan, {}));
    QVERIFY(list.entries().isEmpty());
    scan.runningTexts.insert(QStringLiteral("PHY(1.4)"), QStringLiteral("T113-6D8,7c05-0f0a-1e2d0001,PHY(1.4)"));
    QVERIFY(list.apply(scan, {}));
    QCOMPARE(texts(list), QStringList{QStringLiteral("T113-6D8,7c05-0f0a-1e2d0001,PHY(1.4)")});
    QCOMPARE(list.entries()[0].kind, DeviceKind::RunningScreen);
    QCOMPARE(list.entries()[0].port, QStringLiteral("PHY(1.4)"));
}

void TestScreenList::portOneAndPortTwelveStayApart()
{
    ScreenList list;
    ScanFindings both;
    both.devices = {device(0, DeviceKind::K2tBootLoader, 1), device(1, DeviceKind::K2tBootLoader, 12)};
    list.apply(both, {});
    QCOMPARE(texts(list), (QStringList{QStringLiteral("0,K2T,PHY(1.1)"), QStringLiteral("1,K2T,PHY(1.12)")}));
    ScanFindings twelveOnly;
    twelveOnly.devices = {device(0, DeviceKind::K2tBootLoader, 12)};
    list.apply(twelveOnly, {});
    QCOMPARE(texts(list), QStringList{QStringLiteral("1,K2T,PHY(1.12)")});
}

void TestScreenList::chosenScreenGoneChoosesTheFirstLeft()
{
    ScreenList list;
    ScanFindings three;
    three.devices = {device(0, DeviceKind::TelvBootLoader, 1), device(1, DeviceKind::TelvBootLoader, 2),
                     device(2, DeviceKind::TelvBootLoader, 3)};
    list.apply(three, {});
    QVERIFY(list.choose(2));
    // One before the chosen one goes: the choice stays with its screen.
    ScanFindings lessFirst;
    lessFirst.devices = {device(1, DeviceKind::TelvBootLoader, 2), device(2, DeviceKind::TelvBootLoader, 3)};
    QVERIFY(!list.apply(lessFirst, {}));
    QCOMPARE(list.currentEntry()->port, QStringLiteral("PHY(1.3)"));
    // The chosen one goes: the first left is chosen, and the selection runs.
    ScanFindings lessChosen;
    lessChosen.devices = {device(1, DeviceKind::TelvBootLoader, 2)};
    QVERIFY(list.apply(lessChosen, {}));
    QCOMPARE(list.current(), 0);
    QCOMPARE(list.currentEntry()->port, QStringLiteral("PHY(1.2)"));
    // The last one goes: nothing is chosen, and the selection says so.
    QVERIFY(list.apply(ScanFindings{}, {}));
    QCOMPARE(list.current(), -1);
    QVERIFY(!list.currentEntry());
}

void TestScreenList::otherKindAtTheSamePortIsListedAfresh()
{
    // A screen in its boot loader restarts running its new firmware, at the
    // same port, between two scans.
    ScreenList list;
    ScanFindings boot;
    boot.devices = {device(0, DeviceKind::TelvBootLoader, 4)};
    list.apply(boot, {});
    ScanFindings running;
    running.devices = {device(0, DeviceKind::RunningScreen, 4)};
    running.runningTexts.insert(QStringLiteral("PHY(1.4)"), QStringLiteral("T113,0000-0000-00000001,PHY(1.4)"));
    QVERIFY(list.apply(running, {}));
    QCOMPARE(texts(list), QStringList{QStringLiteral("T113,0000-0000-00000001,PHY(1.4)")});
    QCOMPARE(list.current(), 0);
    // And back into its boot loader.
    QVERIFY(list.apply(boot, {}));
    QCOMPARE(texts(list), QStringList{QStringLiteral("0,TELV,PHY(1.4)")});
}

void TestScreenList::chosenScreenBackBetweenScansIsListedAfreshAndStaysChosen()
{
    ScreenList list;
    ScanFindings scan;
    scan.devices = {device(0, DeviceKind::RunningScreen, 2), device(1, DeviceKind::RunningScreen, 4)};
    scan.runningTexts.insert(QStringLiteral("PHY(1.2)"), QStringLiteral("A,0000-0000-0000000a,PHY(1.2)"));
    scan.runningTexts.insert(QStringLiteral("PHY(1.4)"), QStringLiteral("B,0000-0000-0000000b,PHY(1.4)"));
    list.apply(scan, {});
    QVERIFY(list.choose(1));
    // It came back with a new device ID (an upgrade stamped one).
    ScanFindings back;
    back.devices = {device(0, DeviceKind::RunningScreen, 2), device(1, DeviceKind::RunningScreen, 4, 11)};
    back.runningTexts.insert(QStringLiteral("PHY(1.4)"), QStringLiteral("B,0000-0000-0000000c,PHY(1.4)"));
    QVERIFY(list.apply(back, QStringLiteral("PHY(1.4)")));
    QCOMPARE(texts(list), (QStringList{QStringLiteral("A,0000-0000-0000000a,PHY(1.2)"),
                                       QStringLiteral("B,0000-0000-0000000c,PHY(1.4)")}));
    QCOMPARE(list.currentEntry()->port, QStringLiteral("PHY(1.4)"));
}

void TestScreenList::onlyNewRunningScreensAreIdentified()
{
    ScreenList list;
    ScanFindings scan;
    scan.devices = {device(0, DeviceKind::RunningScreen, 2), device(1, DeviceKind::TelvBootLoader, 3)};
    scan.runningTexts.insert(QStringLiteral("PHY(1.2)"), QStringLiteral("A,0000-0000-0000000a,PHY(1.2)"));
    list.apply(scan, {});
    // Listed already: left alone, so a scan sends it nothing.
    QVERIFY(!list.needsIdentity(device(0, DeviceKind::RunningScreen, 2), {}));
    // Unless it is the chosen one that came back.
    QVERIFY(list.needsIdentity(device(0, DeviceKind::RunningScreen, 2), QStringLiteral("PHY(1.2)")));
    // New, or running where a boot loader was listed.
    QVERIFY(list.needsIdentity(device(2, DeviceKind::RunningScreen, 5), {}));
    QVERIFY(list.needsIdentity(device(1, DeviceKind::RunningScreen, 3), {}));
    // Boot loaders are never identified.
    QVERIFY(!list.needsIdentity(device(3, DeviceKind::TelvBootLoader, 6), {}));
}

QTEST_APPLESS_MAIN(TestScreenList)
#include "tst_screenlist.moc"
