// The screen list as scans keep it: which entries stay, go and come, which
// one is chosen afterwards, and which screens a scan must open and identify.
#include "screenlist.h"

#include <QTest>

using namespace session;
using screenlink::DeviceKind;

namespace {

ScreenInfo device(int index, DeviceKind kind, std::vector<uint8_t> ports, int address = 10)
{
    ScreenInfo s;
    s.scanIndex = index;
    s.kind = kind;
    s.port = {1, std::move(ports)};
    s.address = address;
    return s;
}

// A running screen as a scan that opened it found it.
ScreenInfo running(int index, std::vector<uint8_t> ports, const char *name, const char *id, int address = 10)
{
    ScreenInfo s = device(index, DeviceKind::RunningScreen, std::move(ports), address);
    s.access = Access::Open;
    s.identification = QString::fromLatin1(name);
    s.deviceId = QString::fromLatin1(id);
    return s;
}

screenlink::PortPath port(std::vector<uint8_t> ports)
{
    return {1, std::move(ports)};
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
    void screensBehindHubsAtTheSameLastPortStayApart();
    void onlyNewRunningScreensAreIdentified();
};

void TestScreenList::firstScreenBecomesTheChosenOne()
{
    ScreenList list;
    QVERIFY(!list.apply({}, {}).reselect);
    QCOMPARE(list.current(), -1);
    const std::vector<ScreenInfo> one{device(3, DeviceKind::TelvBootLoader, {4})};
    const ScreenList::Applied first = list.apply(one, {});
    QVERIFY(first.reselect && first.changed);
    QCOMPARE(list.texts(), QStringList{QStringLiteral("3,TELV,PHY(1.4)")});
    QCOMPARE(list.current(), 0);
    // The same scan again changes nothing: no selection, no new list.
    const ScreenList::Applied again = list.apply(one, {});
    QVERIFY(!again.reselect && !again.changed);
    QCOMPARE(list.current(), 0);
}

void TestScreenList::runningScreensAreListedByNameAndIdOnlyOnceIdentified()
{
    ScreenList list;
    ScreenInfo unopened = device(0, DeviceKind::RunningScreen, {4});
    unopened.access = Access::CannotOpen;
    // Not identified (it could not be opened): not listed this time.
    QVERIFY(!list.apply({unopened}, {}).reselect);
    QVERIFY(list.screens().empty());
    QVERIFY(list.apply({running(0, {4}, "T113-6D8", "7c05-0f0a-1e2d0001")}, {}).reselect);
    QCOMPARE(list.texts(), QStringList{QStringLiteral("T113-6D8,7c05-0f0a-1e2d0001,PHY(1.4)")});
    // Another program holds it: listed so, and looked at again each scan.
    ScreenList held;
    ScreenInfo inUse = device(0, DeviceKind::RunningScreen, {4});
    inUse.access = Access::InUse;
    held.apply({inUse}, {});
    QCOMPARE(held.texts(), QStringList{QStringLiteral("in use,-,PHY(1.4)")});
    QVERIFY(held.needsProbe(device(0, DeviceKind::RunningScreen, {4}), {}));
    // Free again: listed by name, and chosen anew so that it is opened.
    QVERIFY(held.apply({running(0, {4}, "T113-6D8", "7c05-0f0a-1e2d0001")}, {}).reselect);
    QCOMPARE(held.texts(), QStringList{QStringLiteral("T113-6D8,7c05-0f0a-1e2d0001,PHY(1.4)")});
}

void TestScreenList::portOneAndPortTwelveStayApart()
{
    ScreenList list;
    list.apply({device(0, DeviceKind::K2tBootLoader, {1}), device(1, DeviceKind::K2tBootLoader, {12})}, {});
    QCOMPARE(list.texts(), (QStringList{QStringLiteral("0,K2T,PHY(1.1)"), QStringLiteral("1,K2T,PHY(1.12)")}));
    list.apply({device(0, DeviceKind::K2tBootLoader, {12})}, {});
    QCOMPARE(list.texts(), QStringList{QStringLiteral("1,K2T,PHY(1.12)")});
}

void TestScreenList::chosenScreenGoneChoosesTheFirstLeft()
{
    ScreenList list;
    const auto boot = [](int i, uint8_t p) { return device(i, DeviceKind::TelvBootLoader, {p}); };
    list.apply({boot(0, 1), boot(1, 2), boot(2, 3)}, {});
    QVERIFY(list.choose(2));
    // One before the chosen one goes: the choice stays with its screen.
    QVERIFY(!list.apply({boot(1, 2), boot(2, 3)}, {}).reselect);
    QCOMPARE(list.currentScreen()->port, port({3}));
    // The chosen one goes: the first left is chosen, and the selection runs.
    QVERIFY(list.apply({boot(1, 2)}, {}).reselect);
    QCOMPARE(list.current(), 0);
    QCOMPARE(list.currentScreen()->port, port({2}));
    // The last one goes: nothing is chosen, and the selection says so.
    QVERIFY(list.apply({}, {}).reselect);
    QCOMPARE(list.current(), -1);
    QVERIFY(!list.currentScreen());
}

void TestScreenList::otherKindAtTheSamePortIsListedAfresh()
{
    // A screen in its boot loader restarts running its new firmware, at the
    // same port, between two scans.
    ScreenList list;
    list.apply({device(0, DeviceKind::TelvBootLoader, {4})}, {});
    QVERIFY(list.apply({running(0, {4}, "T113", "0000-0000-00000001")}, {}).reselect);
    QCOMPARE(list.texts(), QStringList{QStringLiteral("T113,0000-0000-00000001,PHY(1.4)")});
    QCOMPARE(list.current(), 0);
    // And back into its boot loader.
    QVERIFY(list.apply({device(0, DeviceKind::TelvBootLoader, {4})}, {}).reselect);
    QCOMPARE(list.texts(), QStringList{QStringLiteral("0,TELV,PHY(1.4)")});
}

void TestScreenList::chosenScreenBackBetweenScansIsListedAfreshAndStaysChosen()
{
    ScreenList list;
    list.apply({running(0, {2}, "A", "0000-0000-0000000a"), running(1, {4}, "B", "0000-0000-0000000b")}, {});
    QVERIFY(list.choose(1));
    // It came back with a new device ID (an upgrade stamped one).
    QVERIFY(list.apply({device(0, DeviceKind::RunningScreen, {2}), running(1, {4}, "B", "0000-0000-0000000c", 11)},
                       port({4}))
                .reselect);
    QCOMPARE(list.texts(), (QStringList{QStringLiteral("A,0000-0000-0000000a,PHY(1.2)"),
                                        QStringLiteral("B,0000-0000-0000000c,PHY(1.4)")}));
    QCOMPARE(list.currentScreen()->port, port({4}));
    // A scan that met it leaving read zeros; opening it read its ID.
    list.apply({running(0, {2}, "A", "0000-0000-0000000a"), running(1, {4}, "B", "0000-0000-00000000", 12)},
               port({4}));
    QVERIFY(list.refresh(running(1, {4}, "B", "0000-0000-0000000c", 13)));
    QCOMPARE(list.texts().last(), QStringLiteral("B,0000-0000-0000000c,PHY(1.4)"));
    QVERIFY(!list.refresh(running(1, {5}, "C", "0000-0000-0000000d")));
}

void TestScreenList::screensBehindHubsAtTheSameLastPortStayApart()
{
    // Port 1 of two hubs on one bus: both would read PHY(1.1).
    ScreenList list;
    list.apply({running(0, {2, 1}, "A", "0000-0000-0000000a"), running(1, {3, 1}, "B", "0000-0000-0000000b"),
                device(2, DeviceKind::TelvBootLoader, {4})},
               {});
    QCOMPARE(list.texts(), (QStringList{QStringLiteral("A,0000-0000-0000000a,PHY(1.2.1)"),
                                        QStringLiteral("B,0000-0000-0000000b,PHY(1.3.1)"),
                                        QStringLiteral("2,TELV,PHY(1.4)")}));
    QVERIFY(list.choose(1));
    // A goes: B stays chosen, and with its port its own again it reads short.
    QVERIFY(!list.apply({device(1, DeviceKind::RunningScreen, {3, 1}), device(2, DeviceKind::TelvBootLoader, {4})}, {})
                 .reselect);
    QCOMPARE(list.currentScreen()->deviceId, QStringLiteral("0000-0000-0000000b"));
    QCOMPARE(list.texts().first(), QStringLiteral("B,0000-0000-0000000b,PHY(1.1)"));
}

void TestScreenList::onlyNewRunningScreensAreIdentified()
{
    ScreenList list;
    list.apply({running(0, {2}, "A", "0000-0000-0000000a"), device(1, DeviceKind::TelvBootLoader, {3})}, {});
    // Listed already: left alone, so a scan sends it nothing.
    QVERIFY(!list.needsProbe(device(0, DeviceKind::RunningScreen, {2}), {}));
    // Unless it is the chosen one that came back.
    QVERIFY(list.needsProbe(device(0, DeviceKind::RunningScreen, {2}), port({2})));
    // New, or running where a boot loader was listed.
    QVERIFY(list.needsProbe(device(2, DeviceKind::RunningScreen, {5}), {}));
    QVERIFY(list.needsProbe(device(1, DeviceKind::RunningScreen, {3}), {}));
    // Boot loaders are never opened for the list.
    QVERIFY(!list.needsProbe(device(3, DeviceKind::TelvBootLoader, {6}), {}));
}

QTEST_APPLESS_MAIN(TestScreenList)
#include "tst_screenlist.moc"
