// Choosing and checking the firmware file of an upgrade, before anything
// reaches a screen: the warning that lists every model's file, the family a
// screen is upgraded as, the checks with their exact messages, and the tool
// a boot-loader screen needs.
#include "firmwarechoice.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace session;
using fwimage::FileVerdict;
using fwimage::FirmwareFamily;
using screenlink::DeviceKind;

class TestFirmwareChoice : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void warningListsEveryModelsFileInItsOrder();
    void familyFollowsTheScreen();
    void defaultFileIsBesideTheProgramsFolder();
    void checksAndTheirMessages_data();
    void checksAndTheirMessages();
    void fileThatCannotBeOpened();
    void bootLoadersNeedTheirTools();

private:
    QString write(const QString &relative, QByteArray content);
    QTemporaryDir m_dir;
};

void TestFirmwareChoice::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

QString TestFirmwareChoice::write(const QString &relative, QByteArray content)
{
    const QString path = m_dir.filePath(relative);
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        return {};
    return path;
}

void TestFirmwareChoice::warningListsEveryModelsFileInItsOrder()
{
    // Word for word, line by line: the text users know from the window.
    const QStringList expected{
        "You are trying to upgrade screen firmware!\r\n",
        "Using wrong firmware will broke your screen!\r\n",
        "The firmware path MUST NOT contain any spaces or special characters.\r\n\r\n",
        "K2T/K5TX Screens:\r\n",
        "4.0inch/PANEL-Y40: 4NK2T.bin\r\n",
        "4.0inch/PANEL-X40: 4NK5TX.bin\r\n",
        "4.0inch/TAVRIK-4NDNK2T: 4NDNK2T.bin\r\n",
        "5.0inch/PANEL-M50A: 5NK2T.bin\r\n",
        "4.3inch/PANEL-W43A: 4N3K2T.bin\r\n",
        "4.0inch/PANEL-W40B: 4NDXK2P.bin\r\n",
        "5.0inch/PANEL-W50G: 5NDK2T.bin\r\n",
        "6.8inch/PANEL-W68A: 7NDK2T.bin\r\n",
        "TELV Screens: \r\n",
        "(TELV.TAVRIK is TAVRIK logo, NOLOGO is black)\r\n",
        "5.0inch/TAVRIK-5INRGB: TELV.5d0.TAVRIK.bin\r\n",
        "4.0inch/TAVRIK-4INRGB: TELV.4d0.TAVRIK.bin\r\n",
        "4.3inch/TAVRIK-4.3INRGB: TELV.4d3.TAVRIK.bin\r\n",
        "6.8inch/TAVRIK-6.8INRGB: TELV.6d8.TAVRIK.bin\r\n",
        "10inch/TAVRIK-10INRGB: TELV.10d.TAVRIK.bin\r\n",
        "7.85inch long/PANEL-L78C: TELV.7n8.TAVRIK.bin\r\n",
        "4inch square/PANEL-Q40A: TELV.4s0.TAVRIK.bin\r\n",
        "3.4inch/TAVRIK-3.4IN-ROUND: TELV.3r4.TAVRIK.bin\r\n\r\n",
    };
    QCOMPARE(riskTextLines(), expected);
}

void TestFirmwareChoice::familyFollowsTheScreen()
{
    const auto family = [](DeviceKind kind, uint32_t sizeCode, int32_t variant) {
        ScreenInfo s;
        s.kind = kind;
        if (kind == DeviceKind::RunningScreen)
            s.identification = screenlink::applyModelTable(s.geometry, sizeCode, variant, QStringLiteral("T,v0.18"));
        return s.family();
    };
    const screenlink::ModelRow *telv = nullptr;
    const screenlink::ModelRow *older = nullptr;
    for (const screenlink::ModelRow &row : screenlink::modelTable()) {
        if (row.text == screenlink::ModelText::Unknown)
            continue;
        (row.telv ? telv : older) = &row;
    }
    QVERIFY(telv && older);
    QCOMPARE(family(DeviceKind::RunningScreen, telv->sizeCode, telv->variant), FirmwareFamily::Telv);
    QCOMPARE(family(DeviceKind::RunningScreen, older->sizeCode, older->variant), FirmwareFamily::K2t);
    QCOMPARE(family(DeviceKind::TelvBootLoader, 0, 0), FirmwareFamily::Telv);
    QCOMPARE(family(DeviceKind::K2tBootLoader, 0, 0), FirmwareFamily::K2t);
    // A screen no row knows is treated as the older family.
    QCOMPARE(family(DeviceKind::RunningScreen, 0xFFFF, 0), FirmwareFamily::K2t);
    // And a file by its name.
    QCOMPARE(fwimage::fileFamily("/f/TELV/TELV.6d8.TAVRIK.bin"), FirmwareFamily::Telv);
    QCOMPARE(fwimage::fileFamily("/f/K2T-K5TX/4N3K2T.bin"), FirmwareFamily::K2t);
}

void TestFirmwareChoice::defaultFileIsBesideTheProgramsFolder()
{
    QCOMPARE(defaultFirmwarePath(QStringLiteral("/opt/tavrik/bin"), QStringLiteral("TELV/TELV.6d8.TAVRIK.bin")),
             QStringLiteral("/opt/tavrik/firmware/TELV/TELV.6d8.TAVRIK.bin"));
    QVERIFY(offersModelFirmware(QStringLiteral("K2T-K5TX/4N3K2T.bin")));
    QVERIFY(!offersModelFirmware(QString()));
}

void TestFirmwareChoice::checksAndTheirMessages_data()
{
    QTest::addColumn<int>("family");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");
    const auto telv = [](int size, char first) {
        QByteArray b(size, '\x00');
        if (size > 0)
            b[0] = first;
        return b;
    };
    const auto eeprom = [](int size, char first) {
        QByteArray b(size, '\x5A');
        if (size > 0)
            b[0] = first;
        return b;
    };
    const int T = int(FirmwareFamily::Telv);
    const int K = int(FirmwareFamily::K2t);
    QTest::newRow("TELV image in a folder named TELV, any name") << T << QString("TELV/any.bin") << telv(24576, '\x16') << QString("");
    QTest::newRow("TELV one byte short, first byte right") << T << QString("TELV.x.bin") << telv(24575, '\x16')
                                                           << QString("This is not a valid firmware file, code = 1.");
    QTest::newRow("TELV filling the whole flash") << T << QString("TELV.x.bin") << telv(1 << 20, '\x16') << QString("");
    // An eGON image half as long again: it would be cut, then written and
    // verified as cut.
    QTest::newRow("TELV longer than the flash") << T << QString("TELV.x.bin") << telv(3 << 19, '\x16')
                                                << QString("This is not a valid firmware file: it is larger than the "
                                                           "screen's 1 MiB flash.");
    QTest::newRow("TELV first byte wrong") << T << QString("TELV.x.bin") << telv(30000, '\x17')
                                           << QString("This is not a valid firmware file, code = 2.");
    QTest::newRow("TELV nowhere in the path") << T << QString("telv/firmware.bin") << telv(24576, '\x16')
                                              << QString("This firmware is forbidden, file name must start with TELV.");
    QTest::newRow("TELV image for an older screen") << K << QString("TELV.6d8.bin") << telv(24576, '\x16')
                                                    << QString("This is not a valid firmware file, code = 3.");
    QTest::newRow("older first byte wrong") << K << QString("5NK2T.bin") << eeprom(8192, '\x00')
                                            << QString("This is not a valid firmware file, code = 4.");
    QTest::newRow("4NK2T.bin is forbidden") << K << QString("K2T/4NK2T.bin") << eeprom(8192, '\xC2')
                                            << QString("This firmware is forbidden.");
    QTest::newRow("5NK2T.bin passes") << K << QString("K2T/5NK2T.bin") << eeprom(8192, '\xC2') << QString("");
    QTest::newRow("4NDNK2T.bin passes") << K << QString("K2T/4NDNK2T.bin") << eeprom(8192, '\xC2') << QString("");
}

void TestFirmwareChoice::checksAndTheirMessages()
{
    QFETCH(int, family);
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    // A folder of its own per row, whose name says nothing the rules read.
    static int row = 0;
    const QString path = write(QStringLiteral("row%1/").arg(++row) + name, content);
    QVERIFY(!path.isEmpty());
    const FirmwareFile file = readFirmwareFile(path, FirmwareFamily(family));
    QVERIFY(file.opened);
    QCOMPARE(QString::fromLatin1(fwimage::verdictText(file.verdict).data()), message);
    QCOMPARE(file.ok(), message.isEmpty());
    // The bytes the upgrade is given are the file's, read this once.
    QCOMPARE(file.content, content.left(1 << 20));
}

void TestFirmwareChoice::fileThatCannotBeOpened()
{
    const FirmwareFile file = readFirmwareFile(m_dir.filePath(QStringLiteral("missing/TELV.bin")), FirmwareFamily::Telv);
    QVERIFY(!file.opened);
    QVERIFY(!file.ok());
    QCOMPARE(QString::fromLatin1(fwimage::CannotOpenText.data()), QStringLiteral("Can not open file."));
}

void TestFirmwareChoice::bootLoadersNeedTheirTools()
{
    using session::UpgradePath;
    const auto path = [](const char *file, DeviceKind kind) {
        return session::upgradePath(fwimage::fileFamily(file), kind);
    };
    QCOMPARE(requiredTool(path("/f/TELV/TELV.6d8.bin", DeviceKind::TelvBootLoader)), QStringLiteral("telvtool"));
    QCOMPARE(requiredTool(path("/f/K2T/7NDK2T.bin", DeviceKind::K2tBootLoader)), QStringLiteral("eeprom"));
    // Running screens are written over their own requests.
    QVERIFY(requiredTool(path("/f/TELV/TELV.6d8.bin", DeviceKind::RunningScreen)).isEmpty());
    QVERIFY(requiredTool(path("/f/K2T/7NDK2T.bin", DeviceKind::RunningScreen)).isEmpty());
    // A path and a boot loader that do not go together need no tool: the
    // upgrade itself refuses them.
    QVERIFY(requiredTool(path("/f/TELV/TELV.6d8.bin", DeviceKind::K2tBootLoader)).isEmpty());
}

QTEST_APPLESS_MAIN(TestFirmwareChoice)
#include "tst_firmwarechoice.moc"
