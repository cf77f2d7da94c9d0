// The pure parts of the screen link: model table, logos and the texts of
// the screen list.
#include "devicelist.h"
#include "identify.h"
#include "modeltable.h"

#include <QTest>

using namespace screenlink;

class TestModelTable : public QObject {
    Q_OBJECT

private slots:
    void everyRowRecordsItsModel_data();
    void everyRowRecordsItsModel();
    void unknownVariantKeepsFirmwareNameButTakesSize();
    void unknownSizeKeepsGeometryAndResetsFlags();
    void defaultLogoBySize();
    void everyRowsPanelFactsFollowTheRules();
    void unknownScreensAreScannedAndTouchedByTheirLastShape();
    void portTextsParseAsTheSelectionReadsThem();
    void listMatchingKeepsPortOneApartFromPortTwelve();
    void listedNameFallsBackToPanelLabel();
    void firmwareMinorFromIdentification();
};

void TestModelTable::everyRowRecordsItsModel_data()
{
    QTest::addColumn<uint>("size");
    QTest::addColumn<int>("variant");
    QTest::addColumn<QSize>("panel");
    QTest::addColumn<int>("rotation");
    QTest::addColumn<bool>("telv");
    QTest::addColumn<int>("flipAllowed");
    QTest::addColumn<int>("flipDefault");
    QTest::addColumn<QString>("firmware");
    QTest::addColumn<QString>("text");
    const QString keep = QStringLiteral("previous.bin");
    const QString unknown = kUnknownModelText;
    auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };
    row("4/2") << 4u << 2 << QSize(480, 800) << 2 << false << 0 << 0 << QString("K2T-K5TX/4NDNK2T.bin")
               << QString("4inch, 480x800x16, TAVRIK-4NDNK2T");
    row("4/7") << 4u << 7 << QSize(480, 800) << 2 << true << 3 << 0 << QString("TELV/TELV.4d0.TAVRIK.bin") << QString("TELV abc,4.0IN");
    row("4/12") << 4u << 12 << QSize(480, 480) << 2 << true << 0 << 0 << QString("TELV/TELV.4s0.TAVRIK.bin")
                << QString("TELV abc,4.0IN SQUARE");
    row("4/5 other") << 4u << 5 << QSize(480, 800) << 2 << false << 0 << 0 << QString("K2T-K5TX/4NK5TX.bin")
                     << QString("4inch, 480x800x16, PANEL-X40");
    row("5/-1") << 5u << -1 << QSize(480, 854) << 2 << false << 0 << 0 << QString("K2T-K5TX/5NK2T.bin")
                << QString("5inch, 480x854x16/24, PANEL-M50A");
    row("5/0") << 5u << 0 << QSize(480, 854) << 2 << false << 0 << 0 << QString("K2T-K5TX/5NDK2T.bin")
               << QString("5inch, 480x854x16/24, PANEL-W50C");
    row("5/3") << 5u << 3 << QSize(480, 854) << 2 << true << 3 << 0 << QString("TELV/TELV.5d0.TAVRIK.bin") << QString("TELV abc,5.0IN");
    row("5/1 other") << 5u << 1 << QSize(480, 854) << 2 << false << 0 << 0 << keep << unknown;
    row("7/6") << 7u << 6 << QSize(800, 480) << 1 << true << 3 << 1 << QString("TELV/TELV.6d8.TAVRIK.bin") << QString("TELV abc,6.8IN");
    row("7/0 other") << 7u << 0 << QSize(800, 480) << 1 << false << 0 << 0 << QString("K2T-K5TX/7NDK2T.bin")
                     << QString("6.8inch, 800x480x16/24, PANEL-W68A");
    row("8/any") << 8u << 12345 << QSize(1024, 600) << 1 << true << 3 << 0 << QString("TELV/TELV.7d0.TAVRIK.bin")
                 << QString("TELV abc,7.0IN");
    row("10/10") << 10u << 10 << QSize(1024, 600) << 1 << true << 0 << 0 << QString("TELV/TELV.10d.TAVRIK.bin")
                 << QString("TELV abc, 10IN");
    row("10/0 other") << 10u << 0 << QSize(1024, 600) << 1 << false << 0 << 0 << keep << unknown;
    row("260/-1") << 260u << -1 << QSize(480, 800) << 2 << false << 0 << 0 << QString("K2T-K5TX/4NK2T.bin")
                  << QString("4inch, 480x800x16/24, PANEL-Y40");
    row("260/0") << 260u << 0 << QSize(480, 800) << 2 << false << 0 << 0 << QString("K2T-K5TX/4NDXK2P.bin")
                 << QString("4inch, 480x800x16/24, PANEL-W40B");
    row("260/1") << 260u << 1 << QSize(480, 800) << 2 << false << 0 << 0 << QString("K2T-K5TX/4NK2T.bin")
                 << QString("4inch, 480x800x16/24, PANEL-M40A");
    row("260/2 other") << 260u << 2 << QSize(480, 800) << 2 << false << 0 << 0 << keep << unknown;
    row("772/8") << 772u << 8 << QSize(480, 800) << 2 << true << 3 << 0 << QString("TELV/TELV.4d3.TAVRIK.bin")
                 << QString("TELV abc,4.3IN");
    row("772/0 other") << 772u << 0 << QSize(480, 800) << 2 << false << 0 << 0 << QString("K2T-K5TX/4N3K2T.bin")
                       << QString("4.3inch, 480x800x16/24, PANEL-W43A");
    row("1027/5") << 1027u << 5 << QSize(800, 800) << 1 << true << 0 << 0 << QString("TELV/TELV.3r4.TAVRIK.bin")
                  << QString("TELV abc,3.4IN-R");
    row("1027/0 other") << 1027u << 0 << QSize(800, 800) << 1 << false << 0 << 0 << keep << unknown;
    row("2055/any") << 2055u << -7 << QSize(400, 1280) << 2 << true << 0 << 0 << QString("TELV/TELV.7n8.TAVRIK.bin")
                    << QString("TELV abc,7.8IN LONG");
}

void TestModelTable::everyRowRecordsItsModel()
{
    QFETCH(uint, size);
    QFETCH(int, variant);
    QFETCH(QSize, panel);
    QFETCH(int, rotation);
    QFETCH(bool, telv);
    QFETCH(int, flipAllowed);
    QFETCH(int, flipDefault);
    QFETCH(QString, firmware);
    QFETCH(QString, text);

    ScreenGeometry g;
    g.modelFirmwareName = QStringLiteral("previous.bin");
    g.telvFamily = true; // reset by every identification
    g.flipAllowed = 9;
    QCOMPARE(applyModelTable(g, size, variant, QStringLiteral("abc")), text);
    QCOMPARE(g.sizeCode, size);
    QCOMPARE(g.variantCode, variant);
    QCOMPARE(QSize(g.panelWidth, g.panelHeight), panel);
    QCOMPARE(g.rotationCode, rotation);
    QCOMPARE(g.telvFamily, telv);
    QCOMPARE(g.flipAllowed, flipAllowed);
    QCOMPARE(g.flipDefault, flipDefault);
    QCOMPARE(g.modelFirmwareName, firmware);
    // The picture is always landscape or square.
    QVERIFY(g.pictureSize().width() >= g.pictureSize().height());
}

void TestModelTable::unknownVariantKeepsFirmwareNameButTakesSize()
{
    ScreenGeometry g;
    applyModelTable(g, 7, 6, QStringLiteral("x"));
    QCOMPARE(applyModelTable(g, 5, 1, QStringLiteral("x")), kUnknownModelText);
    QCOMPARE(g.modelFirmwareName, QStringLiteral("TELV/TELV.6d8.TAVRIK.bin"));
    QCOMPARE(QSize(g.panelWidth, g.panelHeight), QSize(480, 854));
    QCOMPARE(g.rotationCode, 2);
    QCOMPARE(g.pictureSize(), QSize(854, 480));
}

void TestModelTable::unknownSizeKeepsGeometryAndResetsFlags()
{
    ScreenGeometry g;
    applyModelTable(g, 0x807, 0, QStringLiteral("x"));
    QCOMPARE(applyModelTable(g, 0x99, 6, QStringLiteral("x")), kUnknownModelText);
    QCOMPARE(QSize(g.panelWidth, g.panelHeight), QSize(400, 1280));
    QCOMPARE(g.rotationCode, 2);
    QCOMPARE(g.modelFirmwareName, QStringLiteral("TELV/TELV.7n8.TAVRIK.bin"));
    QVERIFY(!g.telvFamily);
    QCOMPARE(g.flipAllowed, 0);
    QCOMPARE(g.sizeCode, 0x99u);
    // A screen answering nothing reads as size 0: unknown too.
    QCOMPARE(applyModelTable(g, 0, 0, QString()), kUnknownModelText);
}

void TestModelTable::defaultLogoBySize()
{
    QCOMPARE(defaultLogo(800, 800), QStringLiteral(":/logo.800x800.png"));
    QCOMPARE(defaultLogo(480, 854), QStringLiteral(":/logo.854x480.png"));
    for (const QSize s : {QSize(1024, 600), QSize(480, 800), QSize(400, 1280), QSize(854, 480)})
        QCOMPARE(defaultLogo(s.width(), s.height()), QStringLiteral(":/logo.800x480.png"));
}

void TestModelTable::everyRowsPanelFactsFollowTheRules()
{
    // The rules as the screens' makers state them, checked against each row,
    // so that a slip in the table shows here rather than on a screen.
    for (const ModelRow &row : modelTable()) {
        const QString name = QStringLiteral("%1/%2").arg(row.sizeCode).arg(row.variant);
        ScanOrder scan = ScanOrder::HalfTurn;
        if (row.rotation == 2)
            scan = row.sizeCode == 0x807 ? ScanOrder::QuarterTurnBack : ScanOrder::QuarterTurn;
        else if (row.sizeCode == 7 || row.sizeCode == 10)
            scan = ScanOrder::TopToBottom;
        QVERIFY2(row.scanOrder == scan, qPrintable(name));
        const bool lead = row.sizeCode == 5 && !(row.match == VariantMatch::Exact && row.variant == 3);
        QVERIFY2(row.leadBytes == (lead ? 320 : 0), qPrintable(name));
        const Logo logo = row.width == 800 && row.height == 800 ? Logo::Square800x800
                          : row.width == 480 && row.height == 854 ? Logo::Wide854x480
                                                                  : Logo::Wide800x480;
        QVERIFY2(row.logo == logo, qPrintable(name));
        // Touch mounting: first matching rule.
        TouchMap touch{TouchAxis::Y, TouchAxis::WMinusX};
        TouchMap newer = touch;
        if (row.rotation == 1 && !row.telv) {
            touch = newer = row.sizeCode == 7 ? TouchMap{TouchAxis::WMinusX, TouchAxis::HMinusY}
                                              : TouchMap{TouchAxis::HMinusX, TouchAxis::WMinusY};
        } else if (row.sizeCode == 0x403) {
            touch = newer = {TouchAxis::HMinusX, TouchAxis::WMinusY};
        } else if (row.sizeCode == 7) {
            touch = {TouchAxis::WMinusX, TouchAxis::HMinusY};
            newer = {TouchAxis::WMinusX, TouchAxis::Y};
        } else if (row.sizeCode == 10) {
            touch = newer = {TouchAxis::X, TouchAxis::Y};
        } else if (row.sizeCode == 8) {
            touch = newer = {TouchAxis::WMinusX, TouchAxis::HMinusY};
        } else if (row.sizeCode == 0x807) {
            touch = newer = {TouchAxis::HMinusY, TouchAxis::X};
        }
        QVERIFY2(row.touch.x == touch.x && row.touch.y == touch.y, qPrintable(name));
        QVERIFY2(row.touchNewerFirmware.x == newer.x && row.touchNewerFirmware.y == newer.y, qPrintable(name));
        // Every listed model names a file of its own family.
        if (row.listing)
            QVERIFY2(row.firmware && QString::fromLatin1(row.firmware).startsWith(row.telv ? "TELV/" : "K2T-K5TX/"),
                     qPrintable(name));
    }
}

void TestModelTable::unknownScreensAreScannedAndTouchedByTheirLastShape()
{
    ScreenGeometry g;
    // Before any screen: 800 by 480, turned by half.
    QCOMPARE(g.scanOrder(), ScanOrder::HalfTurn);
    QCOMPARE(g.leadBytes(), 0);
    applyModelTable(g, 4, 7, QString()); // a portrait panel
    applyModelTable(g, 0x99, 0, QString());
    QVERIFY(!g.model);
    QCOMPARE(g.scanOrder(), ScanOrder::QuarterTurn);
    QCOMPARE(g.touchMap(0).x, TouchAxis::Y);
    QCOMPARE(g.touchMap(0).y, TouchAxis::WMinusX);
    applyModelTable(g, 7, 0, QString()); // a landscape panel of the older family
    applyModelTable(g, 0x99, 0, QString());
    QCOMPARE(g.scanOrder(), ScanOrder::HalfTurn);
    QCOMPARE(g.touchMap(0).x, TouchAxis::HMinusX);
    QCOMPARE(g.touchMap(0).y, TouchAxis::WMinusY);
    QCOMPARE(g.logo(), Logo::Wide800x480);
}

void TestModelTable::portTextsParseAsTheSelectionReadsThem()
{
    int bus = 0;
    int port = 0;
    parsePhyText(QStringLiteral("PHY(3.12)"), &bus, &port);
    QCOMPARE(bus, 3);
    QCOMPARE(port, 12);
    parsePhyText(kNoPort, &bus, &port);
    QCOMPARE(bus, -1);
    QCOMPARE(port, -1);
    parsePhyText(QStringLiteral("PHY(x.y)"), &bus, &port);
    QCOMPARE(bus, 0);
    QCOMPARE(port, 0);
    QCOMPARE(phyText(1, 4), QStringLiteral("PHY(1.4)"));
    QCOMPARE(entryField(QStringLiteral("0,SCREEN,PHY(1.4)"), 2), QStringLiteral("PHY(1.4)"));
    QCOMPARE(kindWord(deviceKind(0x1F3A, 0xEFE8)), QStringLiteral("TELV"));
    QCOMPARE(kindWord(deviceKind(0x04B4, 0x8613)), QStringLiteral("K2T"));
    QCOMPARE(kindWord(deviceKind(0xC872, 0x1004)), QStringLiteral("SCREEN"));
    QVERIFY(kindWord(deviceKind(0xC872, 0x1005)).isEmpty());
}

void TestModelTable::listMatchingKeepsPortOneApartFromPortTwelve()
{
    QStringList pending{QStringLiteral("0,SCREEN,PHY(1.12)"), QStringLiteral("1,TELV,PHY(1.1)")};
    // Port 1 is listed, port 12 is new.
    QStringList gone = matchListedEntries({QStringLiteral("1,TELV,PHY(1.1)")}, pending);
    QVERIFY(gone.isEmpty());
    QCOMPARE(pending, QStringList{QStringLiteral("0,SCREEN,PHY(1.12)")});

    // Port 12 went away: only its entry goes.
    pending = {QStringLiteral("1,TELV,PHY(1.1)")};
    gone = matchListedEntries({QStringLiteral("1,TELV,PHY(1.1)"), QStringLiteral("X,0000-0000-00000000,PHY(1.12)")},
                              pending);
    QCOMPARE(gone, QStringList{QStringLiteral("X,0000-0000-00000000,PHY(1.12)")});
    QVERIFY(pending.isEmpty());

    // An entry without a port text never matches.
    pending = {QStringLiteral("0,SCREEN,PHY(1.4)")};
    gone = matchListedEntries({QStringLiteral("broken")}, pending);
    QCOMPARE(gone.size(), 1);
    QCOMPARE(pending.size(), 1);
}

void TestModelTable::listedNameFallsBackToPanelLabel()
{
    QCOMPARE(listedName(QStringLiteral("TELV TAVRIK-6.8INRGB,v0.18,2024-05-14,T113-6D8,6.8IN")),
             QStringLiteral("T113-6D8"));
    QCOMPARE(listedName(QStringLiteral("4inch, 480x800x16, TAVRIK-4NDNK2T")), QStringLiteral("TAVRIK-4NDNK2T"));
    QCOMPARE(listedName(kUnknownModelText), QStringLiteral("Unknown Type"));
}

void TestModelTable::firmwareMinorFromIdentification()
{
    QCOMPARE(firmwareMinor(QStringLiteral("TELV X,v0.17,abc")).value_or(-1), 17);
    QCOMPARE(firmwareMinor(QStringLiteral("TELV X v0.21")).value_or(-1), 21);
    QCOMPARE(firmwareMinor(QStringLiteral("TELV X,v0.1x,abc")).value_or(-1), 0);
    QVERIFY(!firmwareMinor(QStringLiteral("TELV X,v1.17,abc")).has_value());
}

QTEST_APPLESS_MAIN(TestModelTable)
#include "tst_modeltable.moc"
