// The logomerge window as a person uses it: buttons clicked, files chosen
// in the (answered) file dialog, and every message box read back.
#include "mainwindow.h"

#include "boxrecorder.h"
#include "testimages.h"

#include <QDir>
#include <QFile>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <sys/resource.h>
#include <unistd.h>

using testimages::Bytes;
using testimages::ImageLayout;
using testimages::put32;

namespace {

constexpr std::uint32_t OfficialPosition = 0x1100;
constexpr std::uint32_t CustomPosition = 0x2200;
const QString Output = QStringLiteral("TELV.output.bin");

Bytes officialImage(std::uint8_t seed = 1)
{
    ImageLayout layout;
    layout.position = OfficialPosition;
    layout.payloads = {testimages::pattern(128, seed), testimages::pattern(900, std::uint8_t(seed + 1)),
                     testimages::pattern(5000, std::uint8_t(seed + 2))};
    layout.bootLength = 0x3A98;
    layout.fill = 0x6E;
    return testimages::telvImage(layout);
}

Bytes customisedImage(std::uint8_t seed = 0x40, std::size_t size = 24576)
{
    ImageLayout layout;
    layout.size = size;
    layout.position = CustomPosition;
    layout.payloads = {testimages::pattern(64, seed), testimages::pattern(32, std::uint8_t(seed + 1)),
                     testimages::pattern(9000, std::uint8_t(seed + 2))};
    layout.bootLength = 0x1000;
    layout.fill = 0x9A;
    return testimages::telvImage(layout);
}

Bytes withWord(Bytes image, std::size_t at, std::uint32_t value)
{
    put32(image, at, value);
    return image;
}

Bytes withByte(Bytes image, std::size_t at, std::uint8_t value)
{
    image.at(at) = value;
    return image;
}

Bytes resized(Bytes image, std::size_t size)
{
    image.resize(size, 0);
    return image;
}

Bytes readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    return Bytes(data.begin(), data.end());
}

} // namespace

class LogoMergeWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void formMatchesTheLayout();
    void slotsAreConnectedToTheirButtons();
    void cancelledChoiceChangesNothing();
    void customisedChecks_data();
    void customisedChecks();
    void customisedOfExactly24KIsAccepted();
    void officialChecks_data();
    void officialChecks();
    void telvInAFolderNamePasses_data();
    void telvInAFolderNamePasses();
    void generateWaitsForBothImages();
    void generateWritesTheMergedImage();
    void refusedChoiceKeepsTheAcceptedImage();
    void generateRewritesTheOutput();
    void unwritableOutputIsReportedAndLeavesNothing();
    void unwritableFolderIsReported();
    void failedWriteKeepsTheOldOutput();

private:
    QString writeFile(const QString &relative, const Bytes &content);
    void choose(QPushButton *button, const QString &path);
    QPushButton *button(const char *name) const;
    // The texts of the boxes shown so far.
    QStringList texts() const;
    void verifyErrorBox(const dialogs::Message &message);
    void chooseBoth();

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCurrent;
    QString m_outputDir;
    std::unique_ptr<BoxRecorder> m_boxes;
    std::unique_ptr<MainWindow> m_window;
};

void LogoMergeWindowTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/logomerge-XXXXXX"));
    QVERIFY(m_dir->isValid());
    m_outputDir = m_dir->filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(m_outputDir));
    m_oldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_outputDir));

    m_boxes = std::make_unique<BoxRecorder>();

    m_window = std::make_unique<MainWindow>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void LogoMergeWindowTest::cleanup()
{
    m_window.reset();
    m_boxes.reset();
    QDir::setCurrent(m_oldCurrent);
    if (m_dir)
        QFile::setPermissions(m_outputDir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    m_dir.reset();
}

QString LogoMergeWindowTest::writeFile(const QString &relative, const Bytes &content)
{
    const QString path = m_dir->filePath(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write(reinterpret_cast<const char *>(content.data()), qint64(content.size()));
    return path;
}

void LogoMergeWindowTest::choose(QPushButton *target, const QString &path)
{
    // Only the dialog this click opens gets the file; any other is cancelled.
    m_boxes->chosenFile = path;
    QTest::mouseClick(target, Qt::LeftButton);
    m_boxes->chosenFile.clear();
}

QPushButton *LogoMergeWindowTest::button(const char *name) const
{
    return m_window->findChild<QPushButton *>(QLatin1String(name));
}

QStringList LogoMergeWindowTest::texts() const
{
    QStringList list;
    for (const QString &box : m_boxes->shown())
        list << box.section(QLatin1Char('|'), 1);
    return list;
}

void LogoMergeWindowTest::verifyErrorBox(const dialogs::Message &message)
{
    QCOMPARE(message.title, QStringLiteral("Error"));
    QCOMPARE(message.parent, m_window.get());
    QCOMPARE(message.icon, QMessageBox::Information);
    QCOMPARE(message.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(message.defaultButton, QMessageBox::NoButton);
}

void LogoMergeWindowTest::chooseBoth()
{
    choose(button("pbCustomize"), writeFile(QStringLiteral("custom/logo.bin"), customisedImage()));
    choose(button("pbOfficial"), writeFile(QStringLiteral("firmware/TELV/official.bin"), officialImage()));
}

void LogoMergeWindowTest::formMatchesTheLayout()
{
    QCOMPARE(m_window->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Logo Firmware Bin Upgrade"));
    QCOMPARE(m_window->size(), QSize(480, 300));
    QCOMPARE(m_window->centralWidget()->objectName(), QStringLiteral("centralwidget"));
    QVERIFY(!m_window->findChild<QMenuBar *>());
    QVERIFY(!m_window->findChild<QStatusBar *>());
    QVERIFY(m_window->styleSheet().isEmpty());

    const auto *usage = m_window->findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"));
    QVERIFY(usage);
    QCOMPARE(usage->geometry(), QRect(10, 10, 461, 151));
    QVERIFY(!usage->isReadOnly());
    const QStringList lines = usage->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines[0], QStringLiteral("USAGE"));
    QCOMPARE(lines[1], QString());
    QCOMPARE(lines[2], QStringLiteral("1. choose the firmware your customized logo."));
    QVERIFY(lines[3].startsWith(QStringLiteral("2. choose Tavrik official firmware(download from ")));
    QVERIFY(lines[3].endsWith(QStringLiteral(", in firmware/TELV folder). The official firmware should match the "
                                             "same firmware screen type.")));
    QVERIFY(lines[3].contains(QStringLiteral("https://")));
    QCOMPARE(lines[4], QStringLiteral("3. click on \"Generate\" to get new firmware."));

    struct Expected {
        const char *name;
        QRect geometry;
        const char *text;
    };
    const Expected buttons[] = {
        {"pbCustomize", QRect(20, 170, 211, 51), "Select Customized Firmware"},
        {"pbOfficial", QRect(20, 230, 211, 51), "Select Official Firmware"},
        {"pbGenerate", QRect(300, 170, 151, 111), "Generate"},
    };
    for (const Expected &e : buttons) {
        QPushButton *b = button(e.name);
        QVERIFY2(b, e.name);
        QCOMPARE(b->parentWidget(), m_window->centralWidget());
        QCOMPARE(b->geometry(), e.geometry);
        QCOMPARE(b->text(), QLatin1String(e.text));
        QVERIFY(b->isEnabled());
    }
}

void LogoMergeWindowTest::slotsAreConnectedToTheirButtons()
{
    const QMetaObject *meta = m_window->metaObject();
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 3);
    const char *expectedSlots[] = {"onCustomize()", "onOfficial()", "onGenerate()"};
    for (int i = 0; i < 3; ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(expectedSlots[i]));
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Public);
    }

    // Each button opens the dialog through its own slot: the customise
    // slot checks the size first, the official one the name.
    const QString small = writeFile(QStringLiteral("small.bin"), Bytes(10, 0));
    choose(button("pbCustomize"), small);
    choose(button("pbOfficial"), small);
    QCOMPARE(texts(), QStringList({QStringLiteral("Customized firmware size should be >= 24KB."),
                                   QStringLiteral("File name must have TELV.")}));
    QCOMPARE(m_boxes->fileRequests.size(), 2);
    m_boxes->clear();
    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);
    QVERIFY(m_boxes->fileRequests.isEmpty());
    QCOMPARE(m_boxes->shown().size(), 1);
}

void LogoMergeWindowTest::cancelledChoiceChangesNothing()
{
    choose(button("pbCustomize"), QString());
    choose(button("pbOfficial"), QString());
    // The plain dialog: no parent, caption, start folder or filter.
    QCOMPARE(m_boxes->fileRequests.size(), 2);
    for (const dialogs::FileRequest &r : m_boxes->fileRequests) {
        QCOMPARE(r.parent, nullptr);
        QCOMPARE(r.caption, QString());
        QCOMPARE(r.directory, QString());
        QCOMPARE(r.filter, QString());
    }
    QVERIFY(m_boxes->shown().isEmpty());
    QCOMPARE(button("pbCustomize")->text(), QStringLiteral("Select Customized Firmware"));
    QCOMPARE(button("pbOfficial")->text(), QStringLiteral("Select Official Firmware"));
    // Still nothing to merge.
    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);
    QCOMPARE(texts(), QStringList{QStringLiteral("Select the customized firmware first.")});
    QVERIFY(!QFile::exists(Output));
}

void LogoMergeWindowTest::customisedChecks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Bytes>("content");
    QTest::addColumn<QString>("message");

    const Bytes good = customisedImage();
    const std::size_t block2 = testimages::blockStart(good, CustomPosition, 1);
    const std::size_t block3 = testimages::blockStart(good, CustomPosition, 2);
    const QString notBin = QStringLiteral("Firmware must be a bin file.");
    const QString tooSmall = QStringLiteral("Customized firmware size should be >= 24KB.");
    const QString notTelv = QStringLiteral("This is not a valid TELV firmware.");
    const QString invalid = QStringLiteral("This firmware has invalid data.");
    const QString blocksOutside = QStringLiteral("The logo block lengths of %1 lead outside the file.");

    QTest::newRow("X.BIN") << "X.BIN" << good << notBin;
    QTest::newRow("upper-case suffix, too small") << "X.BIN" << Bytes(10, 0) << notBin;
    QTest::newRow("no suffix") << "logo" << good << notBin;
    QTest::newRow("bin inside the name") << "logo.bin.old" << good << notBin;
    QTest::newRow("24575 bytes") << "small.bin" << resized(good, 24575) << tooSmall;
    QTest::newRow("empty") << "empty.bin" << Bytes{} << tooSmall;
    QTest::newRow("missing file") << "" << Bytes{} << tooSmall;
    QTest::newRow("branch word wrong") << "branch.bin" << withByte(good, 3, 0xEB) << notTelv;
    QTest::newRow("magic wrong") << "magic.bin" << withByte(good, 5, 'g') << notTelv;
    QTest::newRow("logo position wraps to 0") << "wrap0.bin" << withWord(good, 0xF0C, 0xFFFFF0F0) << invalid;
    QTest::newRow("logo area beyond the file")
        << "far.bin" << withWord(good, 0xF0C, 0x6000) << QStringLiteral("The logo area of %1 lies outside the file.");
    QTest::newRow("logo block past the end") << "long.bin" << withWord(good, block3 + 4, 20000) << blocksOutside;
    QTest::newRow("L1 + L2 wraps")
        << "wrapsum.bin" << withWord(good, block2 + 4, std::uint32_t(0x100000000ull - 72 - 8)) << blocksOutside;
    QTest::newRow("L1 maximal") << "l1.bin" << withWord(good, CustomPosition + 4, 0xFFFFFFFF) << blocksOutside;
}

void LogoMergeWindowTest::customisedChecks()
{
    QFETCH(QString, name);
    QFETCH(Bytes, content);
    QFETCH(QString, message);

    const QString path = name.isEmpty() ? m_dir->filePath(QStringLiteral("absent.bin"))
                                        : writeFile(QStringLiteral("custom/") + name, content);
    choose(button("pbCustomize"), path);
    QCOMPARE(texts(), QStringList{message.contains(QLatin1String("%1")) ? message.arg(path) : message});
    verifyErrorBox(m_boxes->lastMessage());
    QCOMPARE(button("pbCustomize")->text(), QStringLiteral("Select Customized Firmware"));

    // The refused file cannot be merged.
    choose(button("pbOfficial"), writeFile(QStringLiteral("TELV/official.bin"), officialImage()));
    m_boxes->clear();
    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);
    QCOMPARE(texts(), QStringList{QStringLiteral("Select the customized firmware first.")});
    QVERIFY(!QFile::exists(Output));
}

void LogoMergeWindowTest::customisedOfExactly24KIsAccepted()
{
    const QString path = writeFile(QStringLiteral("custom/logo.bin"), customisedImage());
    QCOMPARE(QFileInfo(path).size(), 24576);
    choose(button("pbCustomize"), path);
    QVERIFY(m_boxes->shown().isEmpty());
    QCOMPARE(button("pbCustomize")->text(), path);

    // Larger customised files are fine too.
    const QString large = writeFile(QStringLiteral("custom/large.bin"), customisedImage(0x40, 100000));
    choose(button("pbCustomize"), large);
    QVERIFY(m_boxes->shown().isEmpty());
    QCOMPARE(button("pbCustomize")->text(), large);
}

void LogoMergeWindowTest::officialChecks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Bytes>("content");
    QTest::addColumn<QString>("message");

    const Bytes good = officialImage();
    const std::size_t block2 = testimages::blockStart(good, OfficialPosition, 1);
    const QString noTelv = QStringLiteral("File name must have TELV.");
    const QString notBin = QStringLiteral("Firmware must be a bin file.");
    const QString size = QStringLiteral("Official firmware size should be 24KB.");
    const QString notTelvImage = QStringLiteral("This is not a valid TELV firmware.");
    const QString blocksOutside = QStringLiteral("The logo block lengths of %1 lead outside the file.");

    QTest::newRow("lower-case telv") << "firmware/telv.bin" << good << noTelv;
    QTest::newRow("Telv") << "firmware/Telv_7in.bin" << good << noTelv;
    QTest::newRow("name is tested before suffix") << "firmware/telv.BIN" << Bytes(3, 0) << noTelv;
    QTest::newRow("X.BIN") << "TELV/X.BIN" << good << notBin;
    QTest::newRow("suffix is tested before size") << "TELV/X.BIN" << Bytes(3, 0) << notBin;
    QTest::newRow("24575 bytes") << "TELV/short.bin" << resized(good, 24575) << size;
    QTest::newRow("24577 bytes") << "TELV/long.bin" << resized(good, 24577) << size;
    QTest::newRow("missing file") << "" << Bytes{} << size;
    QTest::newRow("branch word wrong") << "TELV/branch.bin" << withByte(good, 0, 0x17) << notTelvImage;
    QTest::newRow("magic wrong") << "TELV/magic.bin" << withByte(good, 7, 'n') << notTelvImage;
    QTest::newRow("logo position wraps to 0")
        << "TELV/wrap0.bin" << withWord(good, 0xF0C, 0xFFFFF0F0) << QStringLiteral("This firmware has invalid data.");
    QTest::newRow("block 2 past the end") << "TELV/long2.bin" << withWord(good, block2 + 4, 24576) << blocksOutside;
    QTest::newRow("L1 wraps")
        << "TELV/wrap1.bin" << withWord(good, OfficialPosition + 4, 0xFFFFFFF8) << blocksOutside;
    QTest::newRow("boot length beyond the file")
        << "TELV/boot.bin" << withWord(good, 16, 24577)
        << QStringLiteral("The boot length of %1 runs past the end of the file.");
}

void LogoMergeWindowTest::officialChecks()
{
    QFETCH(QString, name);
    QFETCH(Bytes, content);
    QFETCH(QString, message);

    const QString path = name.isEmpty() ? m_dir->filePath(QStringLiteral("TELV/absent.bin")) : writeFile(name, content);
    choose(button("pbOfficial"), path);
    QCOMPARE(texts(), QStringList{message.contains(QLatin1String("%1")) ? message.arg(path) : message});
    verifyErrorBox(m_boxes->lastMessage());
    QCOMPARE(button("pbOfficial")->text(), QStringLiteral("Select Official Firmware"));

    choose(button("pbCustomize"), writeFile(QStringLiteral("custom/logo.bin"), customisedImage()));
    m_boxes->clear();
    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);
    QCOMPARE(texts(), QStringList{QStringLiteral("Select the official firmware first.")});
    QVERIFY(!QFile::exists(Output));
}

void LogoMergeWindowTest::telvInAFolderNamePasses_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("telv.bin in a TELV folder") << "TELV/telv.bin";
    QTest::newRow("TELV only in a parent folder") << "OLD_TELV_FILES/screens/firmware.bin";
    QTest::newRow("TELV in the file name") << "download/TELV_7inch.bin";
}

void LogoMergeWindowTest::telvInAFolderNamePasses()
{
    QFETCH(QString, name);
    const QString path = writeFile(name, officialImage());
    choose(button("pbOfficial"), path);
    QVERIFY2(m_boxes->shown().isEmpty(), qPrintable(texts().join(QLatin1Char('\n'))));
    QCOMPARE(button("pbOfficial")->text(), path);
}

void LogoMergeWindowTest::generateWaitsForBothImages()
{
    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);
    QCOMPARE(texts(), QStringList{QStringLiteral("Select the customized firmware first.")});
    verifyErrorBox(m_boxes->lastMessage());

    m_boxes->clear();
    choose(button("pbOfficial"), writeFile(QStringLiteral("TELV/official.bin"), officialImage()));
    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);
    QCOMPARE(texts(), QStringList{QStringLiteral("Select the customized firmware first.")});

    // A window that has only the customised image.
    m_boxes->clear();
    m_window = std::make_unique<MainWindow>();
    choose(button("pbCustomize"), writeFile(QStringLiteral("custom/logo.bin"), customisedImage()));
    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);
    QCOMPARE(texts(), QStringList{QStringLiteral("Select the official firmware first.")});
    QVERIFY(!QFile::exists(Output));
    QVERIFY(QDir(m_outputDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

void LogoMergeWindowTest::generateWritesTheMergedImage()
{
    chooseBoth();
    QVERIFY(m_boxes->shown().isEmpty());
    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);

    QCOMPARE(texts(), QStringList{QStringLiteral("New firmware saved to TELV.output.bin")});
    const dialogs::Message done = m_boxes->lastMessage();
    QCOMPARE(done.title, QStringLiteral("Notify"));
    QCOMPARE(done.parent, m_window.get());
    QCOMPARE(done.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));

    const Bytes written = readBytes(QDir(m_outputDir).filePath(Output));
    QCOMPARE(written.size(), std::size_t(24576));
    QVERIFY(written == testimages::handMerge(officialImage(), OfficialPosition, customisedImage(), CustomPosition));
    QCOMPARE(testimages::get32(written, 12), testimages::expectedChecksum(written));
    QCOMPARE(testimages::get32(written, 16) % 512, 0u);
    QCOMPARE(QDir(m_outputDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{Output});
}

void LogoMergeWindowTest::refusedChoiceKeepsTheAcceptedImage()
{
    chooseBoth();
    const QString customCaption = button("pbCustomize")->text();
    const QString officialCaption = button("pbOfficial")->text();

    // A rejected header and a rejected logo area for each side.
    const Bytes badMagic = withByte(customisedImage(0x70), 4, 'E');
    choose(button("pbCustomize"), writeFile(QStringLiteral("custom/bad.bin"), badMagic));
    const Bytes wrapped = withWord(officialImage(0x30), 0xF0C, 0xFFFFF0F0);
    choose(button("pbOfficial"), writeFile(QStringLiteral("TELV/bad.bin"), wrapped));
    QCOMPARE(texts(), QStringList({QStringLiteral("This is not a valid TELV firmware."),
                                   QStringLiteral("This firmware has invalid data.")}));
    QCOMPARE(button("pbCustomize")->text(), customCaption);
    QCOMPARE(button("pbOfficial")->text(), officialCaption);

    m_boxes->clear();
    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);
    QCOMPARE(texts(), QStringList{QStringLiteral("New firmware saved to TELV.output.bin")});
    QVERIFY(readBytes(Output) ==
            testimages::handMerge(officialImage(), OfficialPosition, customisedImage(), CustomPosition));
}

void LogoMergeWindowTest::generateRewritesTheOutput()
{
    writeFile(QStringLiteral("out/") + Output, Bytes(100000, 0x11));
    chooseBoth();
    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);
    QVERIFY(readBytes(Output) ==
            testimages::handMerge(officialImage(), OfficialPosition, customisedImage(), CustomPosition));

    // Another logo, a larger one: the output follows, and is not padded.
    ImageLayout layout;
    layout.size = 40000;
    layout.position = CustomPosition;
    layout.payloads = {testimages::pattern(64, 1), testimages::pattern(32, 2), testimages::pattern(30000, 3)};
    const Bytes bigLogo = testimages::telvImage(layout);
    choose(button("pbCustomize"), writeFile(QStringLiteral("custom/big.bin"), bigLogo));
    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);
    const Bytes written = readBytes(Output);
    QCOMPARE(written.size(), std::size_t(OfficialPosition + 136 + 908 + 30008));
    QVERIFY(written == testimages::handMerge(officialImage(), OfficialPosition, bigLogo, CustomPosition));
    QCOMPARE(m_boxes->shown().size(), 2);
    QCOMPARE(m_boxes->lastMessage().text, QStringLiteral("New firmware saved to TELV.output.bin"));
}

void LogoMergeWindowTest::unwritableOutputIsReportedAndLeavesNothing()
{
    // The name is taken by a folder: the finished file cannot be put in
    // place, so neither it nor its temporary copy may remain.
    QVERIFY(QDir(m_outputDir).mkpath(Output + QStringLiteral("/kept")));
    chooseBoth();
    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);

    QCOMPARE(m_boxes->shown().size(), 1);
    verifyErrorBox(m_boxes->lastMessage());
    QVERIFY2(m_boxes->lastMessage().text.startsWith(QStringLiteral("Cannot write TELV.output.bin: ")),
             qPrintable(m_boxes->lastMessage().text));
    QVERIFY(m_boxes->lastMessage().text.size() > QStringLiteral("Cannot write TELV.output.bin: ").size());
    QCOMPARE(QDir(m_outputDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
             QStringList{Output});
    QVERIFY(QFileInfo(Output).isDir());
    QVERIFY(QFileInfo(Output + QStringLiteral("/kept")).isDir());
}

void LogoMergeWindowTest::unwritableFolderIsReported()
{
    chooseBoth();
    // Without write permission (which does not stop root) the folder can
    // still not take new files once it has been removed.
    QVERIFY(QFile::setPermissions(m_outputDir, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const bool permissionsBind = geteuid() != 0;
    if (!permissionsBind)
        QVERIFY(QDir(m_outputDir).removeRecursively() || !QFileInfo::exists(m_outputDir));

    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);
    QCOMPARE(m_boxes->shown().size(), 1);
    verifyErrorBox(m_boxes->lastMessage());
    QVERIFY2(m_boxes->lastMessage().text.startsWith(QStringLiteral("Cannot write TELV.output.bin: ")),
             qPrintable(m_boxes->lastMessage().text));
    if (permissionsBind) {
        QFile::setPermissions(m_outputDir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QVERIFY(QDir(m_outputDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).isEmpty());
    } else {
        QVERIFY(!QFileInfo::exists(m_outputDir));
    }
}

void LogoMergeWindowTest::failedWriteKeepsTheOldOutput()
{
    // The file-size limit lets the write start and then fails it part-way,
    // which the process sees as EFBIG once the signal is ignored.
    const Bytes old(300, 0x42);
    writeFile(QStringLiteral("out/") + Output, old);
    chooseBoth();

    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    QCOMPARE(m_boxes->shown().size(), 1);
    verifyErrorBox(m_boxes->lastMessage());
    QVERIFY2(m_boxes->lastMessage().text.startsWith(QStringLiteral("Cannot write TELV.output.bin: ")),
             qPrintable(m_boxes->lastMessage().text));
    QVERIFY(readBytes(Output) == old);
    QCOMPARE(QDir(m_outputDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
             QStringList{Output});

    // With room again the same choice is written.
    m_boxes->clear();
    QTest::mouseClick(button("pbGenerate"), Qt::LeftButton);
    QCOMPARE(texts(), QStringList{QStringLiteral("New firmware saved to TELV.output.bin")});
    QCOMPARE(readBytes(Output).size(), std::size_t(24576));
}

QTEST_MAIN(LogoMergeWindowTest)
#include "tst_logomergewindow.moc"
