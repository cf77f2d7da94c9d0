// The checks of a file chosen for a logo merge: name and size, then
// content, and the message of each refusal.
#include "logoinput.h"
#include "testimages.h"

#include <QTest>

using namespace fwimage;
using testimages::Bytes;
using testimages::put32;

Q_DECLARE_METATYPE(fwimage::LogoInput)
Q_DECLARE_METATYPE(fwimage::LogoRule)
Q_DECLARE_METATYPE(fwimage::Fault)

namespace {

constexpr std::uint32_t Position = 0x1300;

// Three blocks, the third one ending 100 bytes before the end.
Bytes goodImage()
{
    testimages::ImageLayout layout;
    layout.position = Position;
    layout.payloads = {testimages::pattern(40, 1), testimages::pattern(60, 2),
                       testimages::pattern(24576 - Position - 3 * 8 - 100 - 100, 3)};
    layout.bootLength = 0x5E00;
    return testimages::telvImage(layout);
}

Bytes withWord(std::size_t at, std::uint32_t value)
{
    Bytes image = goodImage();
    put32(image, at, value);
    return image;
}

} // namespace

class LogoInputTest : public QObject {
    Q_OBJECT

private slots:
    void verdicts_data();
    void verdicts();
};

void LogoInputTest::verdicts_data()
{
    QTest::addColumn<LogoInput>("input");
    QTest::addColumn<QString>("path");
    QTest::addColumn<quint64>("fileSize");
    QTest::addColumn<Bytes>("content");
    QTest::addColumn<LogoRule>("rule");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("text");

    const LogoInput C = LogoInput::Customised;
    const LogoInput O = LogoInput::Official;
    const LogoRule Ok = LogoRule::Accepted;
    const LogoRule Bad = LogoRule::BadImage;
    const Fault N = Fault::None;
    const Bytes good = goodImage();
    const std::size_t block3 = testimages::blockStart(good, Position, 2);
    const quint64 k24 = 24576;
    const quint64 wrap = 0x100000000ull;
    const QString c = QStringLiteral("/fw/custom/logo.bin");
    const QString o = QStringLiteral("/fw/TELV/official.bin");
    const QString bin = QStringLiteral("Firmware must be a bin file.");
    const QString notTelv = QStringLiteral("This is not a valid TELV firmware.");
    const QString small = QStringLiteral("Customized firmware size should be >= 24KB.");
    const QString size = QStringLiteral("Official firmware size should be 24KB.");
    const QString name = QStringLiteral("File name must have TELV.");
    const QString blocks = QStringLiteral("The logo block lengths of %1 lead outside the file.");

    QTest::newRow("C good") << C << c << k24 << good << Ok << N << QString();
    QTest::newRow("C larger") << C << c << k24 * 3 << good << Ok << N << QString();
    QTest::newRow("C size by its low 32 bits") << C << c << wrap + k24 << good << Ok << N << QString();
    QTest::newRow("C .BIN") << C << "/fw/X.BIN" << k24 << good << LogoRule::NotBin << N << bin;
    QTest::newRow("C .bin inside") << C << "/fw/a.bin.old" << k24 << good << LogoRule::NotBin << N << bin;
    QTest::newRow("C suffix before size") << C << "/X.BIN" << quint64(3) << good << LogoRule::NotBin << N << bin;
    QTest::newRow("C 24575 bytes") << C << c << k24 - 1 << good << LogoRule::CustomisedTooSmall << N << small;
    QTest::newRow("C low 32 bits small") << C << c << wrap + 10 << good << LogoRule::CustomisedTooSmall << N << small;
    QTest::newRow("C short content") << C << c << k24 << Bytes(good.begin(), good.end() - 1) << Bad
                                     << Fault::ShortImage << notTelv;
    QTest::newRow("C magic") << C << c << k24 << withWord(4, 0x4E4F4766) << Bad << Fault::NotBootImage << notTelv;
    QTest::newRow("C logo at 0") << C << c << k24 << withWord(0xF0C, 0xFFFFF0F0) << Bad << Fault::LogoAtZero
                                 << QStringLiteral("This firmware has invalid data.");
    QTest::newRow("C logo outside") << C << c << k24 << withWord(0xF0C, 0x6000) << Bad << Fault::LogoOutside
                                    << QStringLiteral("The logo area of %1 lies outside the file.").arg(c);
    QTest::newRow("C block 3 outside") << C << c << k24 << withWord(block3 + 4, 24576) << Bad << Fault::BlockOutside
                                       << blocks.arg(c);
    QTest::newRow("C boot length unused") << C << c << k24 << withWord(16, 0x7000) << Ok << N << QString();

    QTest::newRow("O good") << O << o << k24 << good << Ok << N << QString();
    QTest::newRow("O TELV as a folder") << O << "/TELV/a.bin" << k24 << good << Ok << N << QString();
    QTest::newRow("O block 3 unused") << O << o << k24 << withWord(block3 + 4, 24576) << Ok << N << QString();
    QTest::newRow("O telv") << O << "/fw/telv.bin" << k24 << good << LogoRule::NameLacksTelv << N << name;
    QTest::newRow("O name before suffix") << O << "/Telv.BIN" << quint64(3) << good << LogoRule::NameLacksTelv << N
                                          << name;
    QTest::newRow("O .BIN") << O << "/TELV/X.BIN" << k24 << good << LogoRule::NotBin << N << bin;
    QTest::newRow("O suffix before size") << O << "/TELV/X.BIN" << quint64(3) << good << LogoRule::NotBin << N << bin;
    QTest::newRow("O 24575 bytes") << O << o << k24 - 1 << good << LogoRule::OfficialWrongSize << N << size;
    QTest::newRow("O 24577 bytes") << O << o << k24 + 1 << good << LogoRule::OfficialWrongSize << N << size;
    QTest::newRow("O size by all 64 bits") << O << o << wrap + k24 << good << LogoRule::OfficialWrongSize << N << size;
    QTest::newRow("O branch") << O << o << k24 << withWord(0, 0xEA000017) << Bad << Fault::NotBootImage << notTelv;
    QTest::newRow("O L1 leads outside") << O << o << k24 << withWord(Position + 4, 0xFFFFFFF8) << Bad
                                        << Fault::BlockOutside << blocks.arg(o);
    QTest::newRow("O boot length") << O << o << k24 << withWord(16, 0x6001) << Bad << Fault::BootLengthOutside
                                   << QStringLiteral("The boot length of %1 runs past the end of the file.").arg(o);
}

void LogoInputTest::verdicts()
{
    QFETCH(LogoInput, input);
    QFETCH(QString, path);
    QFETCH(quint64, fileSize);
    QFETCH(Bytes, content);
    QFETCH(LogoRule, rule);
    QFETCH(Fault, fault);
    QFETCH(QString, text);

    // The content is only looked at once the name and size have passed.
    LogoVerdict verdict = checkLogoFile(input, path.toStdString(), fileSize);
    QCOMPARE(verdict.logoPosition, 0u);
    if (verdict)
        verdict = checkLogoImage(input, content);
    QCOMPARE(verdict.rule, rule);
    QCOMPARE(verdict.fault, fault);
    QCOMPARE(verdict.ok(), rule == LogoRule::Accepted);
    QCOMPARE(verdict.logoPosition, verdict.ok() ? Position : 0u);
    QCOMPARE(QString::fromStdString(logoVerdictText(verdict, path.toStdString())), text);
}

QTEST_APPLESS_MAIN(LogoInputTest)
#include "tst_logoinput.moc"
