// tavrikctl run as a user runs it, a separate process against simulated
// screens on the emulated bus: every command, the choice of screens, the
// JSON (checked against its schema), the exit codes, the question before an upgrade, many screens at once
// with faults on one of them, and Ctrl-C. Runs under umockdev-wrapper, with
// the stand-in boot-loader tools and firmware server.
#include "bridge.h"
#include "freshstate.h"
#include "heldscreen.h"
#include "splice.h"
#include "standinserver.h"
#include "testimages.h"
#include "usb/virtualbus.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <optional>
#include <thread>

#include <signal.h>
#include <unistd.h>

using namespace sim;
using testimages::Bytes;

namespace {

const QString kProgram = QStringLiteral(TAVRIKCTL_PATH);
const QString kSchema = QStringLiteral(TAVRIK_SOURCE_DIR "/docs/tavrikctl-output.schema.json");

// Validates standard input against one definition of the schema, and then
// checks that the schema would catch each field of the output (and of its
// first screen) left out or of the wrong type.
const char kValidate[] = R"(
import copy, json, sys
import jsonschema
schema = json.load(open(sys.argv[1]))
jsonschema.Draft202012Validator.check_schema(schema)
check = jsonschema.Draft202012Validator({"$defs": schema["$defs"], "$ref": "#/$defs/" + sys.argv[2]})
output = json.load(sys.stdin)
problems = [f"{list(e.absolute_path)}: {e.message}" for e in check.iter_errors(output)]
def passes(change):
    changed = copy.deepcopy(output)
    change(changed)
    return check.is_valid(changed)
def probe(holder, name):
    for key in list(holder(output)):
        if passes(lambda o: holder(o).pop(key)):
            problems.append(f"{name}{key} may be left out")
        if passes(lambda o: holder(o).__setitem__(key, {"mistyped": True})):
            problems.append(f"{name}{key} may be of any type")
probe(lambda o: o, "")
if output["screens"]:
    probe(lambda o: o["screens"][0], "screens[0].")
print("\n".join(problems))
sys.exit(1 if problems else 0)
)";

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

QByteArray raw(const Bytes &b)
{
    return QByteArray(reinterpret_cast<const char *>(b.data()), qsizetype(b.size()));
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// What the schema finds wrong with `json` as the output its `definition`
// describes; empty when nothing.
QString schemaProblems(const QString &json, const QString &definition)
{
    QProcess p;
    p.start(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromLatin1(kValidate), kSchema, definition});
    if (!p.waitForStarted(10000))
        return QStringLiteral("python3 does not start");
    p.write(json.toUtf8());
    p.closeWriteChannel();
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return QStringLiteral("the validator did not finish");
    if (p.exitCode() == 0)
        return {};
    return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
}

QString describe(const Run &r)
{
    return QStringLiteral("exit %1\n--- out\n%2--- err\n%3").arg(r.exitCode).arg(r.out, r.err);
}

using testimages::startsWith;

Bytes expectedFlash(const Bytes &before, const Bytes &file)
{
    return testimages::upgradedFlash(before, file);
}

// Screens whose firmware is gone, waiting in their boot loaders.
void telvBootLoader(ScreenModel &m)
{
    m.setFlash({});
    m.setMode(Mode::TelvBootLoader);
}

void k2tBootLoader(ScreenModel &m)
{
    m.setConfig(0, {0xFF});
    m.setMode(Mode::K2tBootLoader);
}

// Whether the program prints `text` within a generous time.
bool waitForOutput(QProcess &p, const QString &text)
{
    QString out;
    const QDeadlineTimer deadline(20000);
    while (!out.contains(text) && p.waitForReadyRead(int(deadline.remainingTime())))
        out += QString::fromUtf8(p.readAllStandardOutput());
    return out.contains(text);
}

} // namespace

class TestTavrikctl : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void helpManualAndCompletionTellTheSame();
    void usageErrorsExitWithTwo_data();
    void usageErrorsExitWithTwo();
    void jsonOfEveryCommandFollowsTheSchema_data();
    void jsonOfEveryCommandFollowsTheSchema();
    void modelFirmwareIsLookedForInEachFirmwareFolder_data();
    void modelFirmwareIsLookedForInEachFirmwareFolder();
    void listTellsEveryScreenAndItsState();
    void listJsonFieldsStayAsDocumented();
    void screensAreChosenByPortOrDeviceId();
    void displayJobsReachEveryChosenScreen();
    void flipFollowsThePanelsRules();
    void logIsWrittenOnlyWhenWholeAndOnlyFromDebugFirmware();
    void ledTestEndsWithOneChannelLit();
    void upgradeRefusesAFileThatFailsForAnyScreen();
    void upgradeAsksFirstUnlessTold();
    void dryRunSaysWhatWouldHappenAndWritesNothing();
    void screensThatHaveTheFileAreLeftAsTheyWereUnlessTold();
    void runningScreensOfBothFamiliesAreUpgradedAtOnce();
    void bootLoaderScreensAreUpgradedThroughTheirTools();
    void eachModelGetsItsOwnFirmwareAndIsDoneOnlyWhenBack();
    void screensBehindHubsAtOneLastPortAreWrittenApart();
    void screenAnotherProgramHoldsIsSentNothing();
    void oneScreenFailingNeverStopsTheOthers_data();
    void oneScreenFailingNeverStopsTheOthers();
    void bootLoadersThatCannotBeToldApartAreRefused_data();
    void bootLoadersThatCannotBeToldApartAreRefused();
    void bootLoaderBeingUpgradedIsInUseForOtherPrograms();
    void k2tScreensUpgradedTogetherGetTwoIds();
    void ledTestOnAScreenThatLeavesFails();
    void stopDuringTheLastCheckStopsBeforeAnyErase();
    void screenHeldAMomentAfterItsRestartIsStillDone();
    void missingToolIsNamedBeforeAnythingIsWritten();
    void ctrlCStopsOnlyWhereNothingIsWrittenYet();
    void stopSignalsNeverCutAWrite_data();
    void stopSignalsNeverCutAWrite();
    void toolsThatFailQuietlyHaveFailed_data();
    void toolsThatFailQuietlyHaveFailed();
    void eepromToolGetsTheBytesThatWereChecked();
    void screensTextIsEscapedOnTheTerminal_data();
    void screensTextIsEscapedOnTheTerminal();
    void progressBarsOnATerminalPlainLinesElsewhere();

private:
    Run run(const QStringList &args, const QByteArray &input = {}, int ms = 120000, const QString &program = kProgram,
            const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    int attach(const char *preset, int port, std::function<void(ScreenModel &)> tweak = {});
    std::shared_ptr<ScreenModel> model(int slot) const { return m_bus->model(slot); }
    QString port(int slot) const
    {
        return QStringLiteral("PHY(%1.%2)").arg(m_bus->busNumber(slot)).arg(m_bus->portNumber(slot));
    }
    QString idOf(int slot) const { return screenlink::formatDeviceId(model(slot)->deviceId().data()); }
    // The firmware server keeps a screen block for the TELV screen at `slot`.
    Bytes serveScreenBlock(int slot, uint8_t seed)
    {
        Bytes block = testimages::pattern(8 + 120, seed);
        testimages::put32(block, 4, 120);
        m_server.putBlock(QString::fromStdString(model(slot)->telvIdentity()), raw(block));
        return block;
    }

    std::unique_ptr<VirtualBus> m_bus;
    QTemporaryDir m_dir;
    std::optional<FreshState> m_state;
    fwtest::StandInServer m_server;
    QString m_telvFile;
    QString m_eepromFile;
};

void TestTavrikctl::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    QVERIFY(m_dir.isValid());
    qunsetenv("https_proxy");
    qunsetenv("HTTPS_PROXY");
    QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    qputenv("TAVRIK_FIRMWARE_SERVER", m_server.host().toUtf8());
    qputenv("TAVRIK_FIRMWARE_CA", m_server.caFile().toUtf8());
    m_telvFile = m_dir.filePath(QStringLiteral("firmware/TELV/TELV.6d8.TAVRIK.bin"));
    m_eepromFile = m_dir.filePath(QStringLiteral("firmware/K2T-K5TX/7NDK2T.bin"));
    QVERIFY(writeFile(m_telvFile, raw(testimages::upgradeTelvImage(30000))));
    QVERIFY(writeFile(m_eepromFile, raw(testimages::upgradeEepromImage())));
    QDir::setCurrent(m_dir.path()); // logs land here
}

void TestTavrikctl::init()
{
    m_state.emplace();
    m_bus = std::make_unique<VirtualBus>();
}

void TestTavrikctl::cleanup()
{
    qunsetenv("TAVRIK_TOOL_FAIL_QUIETLY");
    m_bus.reset();
}

Run TestTavrikctl::run(const QStringList &args, const QByteArray &input, int ms, const QString &program,
                       const QProcessEnvironment &environment)
{
    QProcess p;
    p.setProcessEnvironment(environment);
    p.start(program, args);
    Run r;
    if (!p.waitForStarted(5000))
        return r;
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(ms)) {
        p.kill();
        p.waitForFinished(3000);
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

int TestTavrikctl::attach(const char *preset, int port, std::function<void(ScreenModel &)> tweak)
{
    auto m = std::make_shared<ScreenModel>(*findPreset(preset), uint32_t(0x200 + port));
    m->setRebootDelayMs(200);
    if (tweak)
        tweak(*m);
    return m_bus->attach(m, 2, port);
}

void TestTavrikctl::helpManualAndCompletionTellTheSame()
{
    const Run help = run({QStringLiteral("--help")});
    QCOMPARE(help.exitCode, 0);
    for (const char *command : {"list", "show", "fill", "backlight", "flip", "log", "led-test", "identify", "upgrade"}) {
        QVERIFY2(help.out.contains(QStringLiteral("  %1 ").arg(QLatin1String(command))), command);
        const Run own = run({QLatin1String(command), QStringLiteral("--help")});
        QCOMPARE(own.exitCode, 0);
        QVERIFY(own.out.startsWith(QStringLiteral("Usage: tavrikctl %1").arg(QLatin1String(command))));
    }
    QVERIFY(help.out.contains(QStringLiteral("Exit codes:")));
    const Run version = run({QStringLiteral("--version")});
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, QStringLiteral("tavrikctl " TAVRIK_VERSION "\n"));
    const Run manual = run({QStringLiteral("--manual-page")});
    QVERIFY(manual.out.startsWith(QStringLiteral(".TH TAVRIKCTL 1")));
    for (const char *section : {"OPTIONS", "JSON OUTPUT", "ENVIRONMENT", "FILES", "EXIT STATUS", "EXAMPLES"})
        QVERIFY2(manual.out.contains(QStringLiteral(".SH %1\n").arg(QLatin1String(section))), section);
    QVERIFY(manual.out.contains(QStringLiteral("led\\-test")));
    QVERIFY(manual.out.contains(QStringLiteral("\\-\\-reinstall")));
    // Every page renders without a warning; the pages tavrikctl's names are there.
    QStringList pages{QStringLiteral("-")};
    for (const char *other : {"panelctl", "spanmon", "logomerge"}) {
        QVERIFY(manual.out.contains(QStringLiteral(".BR %1 (1)").arg(QLatin1String(other))));
        pages << QStringLiteral(TAVRIK_SOURCE_DIR "/docs/man/%1.1").arg(QLatin1String(other));
    }
    for (const QString &page : pages) {
        QProcess groff;
        groff.start(QStringLiteral("groff"), {QStringLiteral("-ww"), QStringLiteral("-man"), QStringLiteral("-z"), page});
        groff.write(manual.out.toUtf8());
        groff.closeWriteChannel();
        QVERIFY(groff.waitForFinished(30000));
        QVERIFY2(groff.exitCode() == 0 && groff.readAllStandardError().isEmpty(), qPrintable(page));
    }
    const Run completion = run({QStringLiteral("--bash-completion")});
    QVERIFY(completion.out.contains(QStringLiteral("complete -F _tavrikctl tavrikctl")));
    QVERIFY2(completion.out.contains(QStringLiteral("upgrade) opts=\"--screen --all --json --yes --dry-run --any-model "
                                                    "--reinstall --new-id --firmware-dir --quiet --verbose --help\"")),
             qPrintable(completion.out));
}

void TestTavrikctl::usageErrorsExitWithTwo_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("says");
    QTest::newRow("nothing") << QStringList{} << "no command given";
    QTest::newRow("unknown command") << QStringList{"paint"} << "unknown command paint";
    QTest::newRow("unknown option") << QStringList{"list", "--fast"} << "unknown option --fast";
    QTest::newRow("missing argument") << QStringList{"fill"} << "fill takes one argument";
    QTest::newRow("backlight out of range") << QStringList{"backlight", "101"} << "0 to 100";
    QTest::newRow("flip word") << QStringList{"flip", "sideways"} << "flip takes none";
    QTest::newRow("all with screen") << QStringList{"identify", "--all", "--screen", "1.1"} << "exclude each other";
    QTest::newRow("option typo") << QStringList{"identify", "--scren", "1.1"}
                                 << "unknown option --scren; did you mean --screen?";
    QTest::newRow("command typo") << QStringList{"idnetify"} << "unknown command idnetify; did you mean identify?";
    QTest::newRow("--yes elsewhere") << QStringList{"fill", "red", "--yes"} << "--yes belongs to upgrade";
    QTest::newRow("--new-id elsewhere") << QStringList{"identify", "--new-id"} << "--new-id belongs to upgrade";
    QTest::newRow("bad colour") << QStringList{"fill", "redd"} << "redd is no colour";
    QTest::newRow("quiet and verbose") << QStringList{"list", "-q", "-v"} << "exclude each other";
    QTest::newRow("upgrade's question in JSON") << QStringList{"upgrade", "--json"} << "give --yes (or --dry-run)";
    QTest::newRow("log - in JSON") << QStringList{"log", "-", "--json"} << "standard output";
    QTest::newRow("monitor without a choice") << QStringList{"monitor"} << "one of --auto, --off and --list";
    QTest::newRow("monitor, two choices") << QStringList{"monitor", "--auto", "7e0c-0b02-1c2200f1", "--list"}
                                          << "one of --auto, --off and --list";
    QTest::newRow("monitor, no device ID") << QStringList{"monitor", "--off", "1.4"} << "1.4 is not a device ID";
    QTest::newRow("monitor, mode word") << QStringList{"monitor", "--auto", "7e0c-0b02-1c2200f1", "--mode", "wide"}
                                        << "extend or mirror";
    QTest::newRow("monitor by --screen") << QStringList{"monitor", "--list", "--screen", "1.1"} << "by device ID";
    // Files named on the command line are looked at before any screen.
    QTest::newRow("no picture") << QStringList{"show", "/missing.png"} << "/missing.png: no such file";
    QTest::newRow("not a picture") << QStringList{"show", TAVRIK_SOURCE_DIR "/README.md"} << "README.md is no picture";
    QTest::newRow("no firmware") << QStringList{"upgrade", "/missing.bin", "--yes"} << "/missing.bin: no such file";
    QTest::newRow("no firmware folder") << QStringList{"upgrade", "--firmware-dir", "/missing", "--dry-run"}
                                        << "--firmware-dir /missing: no such folder";
    QTest::newRow("no folder for the log") << QStringList{"log", "/missing/log.txt"} << "cannot be saved in /missing";
}

void TestTavrikctl::usageErrorsExitWithTwo()
{
    QFETCH(QStringList, args);
    QFETCH(QString, says);
    const int slot = attach("6.8in-telv", 1, [](ScreenModel &m) { m.setIdent(debugIdent(m.preset().ident)); });
    const Run r = run(args);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(says), qPrintable(describe(r)));
    QVERIFY(r.out.isEmpty());
    QVERIFY(model(slot)->requests().empty());
}

void TestTavrikctl::jsonOfEveryCommandFollowsTheSchema_data()
{
    // FIRST stands for the first screen's port, the other words for files.
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("definition");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("outcomes");
    const QStringList both{"done", "done"};
    QTest::newRow("list") << QStringList{"list"} << "list" << 0 << QStringList{};
    QTest::newRow("monitor --list") << QStringList{"monitor", "--list"} << "monitor-list" << 0 << QStringList{};
    QTest::newRow("identify") << QStringList{"identify", "--all"} << "identify" << 0 << both;
    QTest::newRow("show") << QStringList{"show", "PICTURE", "--all"} << "show" << 0 << both;
    QTest::newRow("fill") << QStringList{"fill", "#102030", "--all"} << "fill" << 0 << both;
    QTest::newRow("backlight") << QStringList{"backlight", "40", "--all"} << "backlight" << 0 << both;
    QTest::newRow("flip, one panel cannot") << QStringList{"flip", "vertical", "--all"} << "flip" << 5
                                            << QStringList{"done", "failed"};
    QTest::newRow("log, one without debug firmware") << QStringList{"log", "LOG", "--all"} << "log" << 5
                                                     << QStringList{"done", "failed"};
    QTest::newRow("led-test") << QStringList{"led-test", "--seconds", "1", "--screen", "FIRST"} << "led-test" << 0
                              << QStringList{"done"};
    QTest::newRow("upgrade") << QStringList{"upgrade", "TELV", "--screen", "FIRST", "--yes"} << "upgrade" << 0
                             << QStringList{"changed"};
    QTest::newRow("upgrade, dry run") << QStringList{"upgrade", "TELV", "--screen", "FIRST", "--dry-run"} << "upgrade"
                                      << 0 << QStringList{"would-write"};
    QTest::newRow("upgrade, file refused") << QStringList{"upgrade", "EEPROM", "--all", "--yes"} << "upgrade" << 4
                                           << QStringList{"refused", "refused"};
}

void TestTavrikctl::jsonOfEveryCommandFollowsTheSchema()
{
    QFETCH(QStringList, args);
    QFETCH(QString, definition);
    QFETCH(int, exitCode);
    QFETCH(QStringList, outcomes);
    const int first = attach("6.8in-telv", 1, [](ScreenModel &m) {
        m.setIdent(debugIdent(m.preset().ident));
        m.setLog(Bytes(100, uint8_t('x')));
    });
    attach("4in-square-telv", 2);
    QImage picture(16, 16, QImage::Format_RGB32);
    picture.fill(Qt::green);
    const QString pictureFile = m_dir.filePath(QStringLiteral("json.png"));
    QVERIFY(picture.save(pictureFile));
    const QHash<QString, QString> words{{"FIRST", port(first)}, {"PICTURE", pictureFile},
                                        {"LOG", m_dir.filePath(QStringLiteral("json-log.txt"))},
                                        {"TELV", m_telvFile}, {"EEPROM", m_eepromFile}};
    for (QString &a : args)
        a = words.value(a, a);
    const Run r = run(args << QStringLiteral("--json"));
    QCOMPARE(r.exitCode, exitCode);
    // Standard output is the JSON alone.
    QJsonParseError error;
    const QJsonObject doc = QJsonDocument::fromJson(r.out.toUtf8(), &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(describe(r)));
    const QString problems = schemaProblems(r.out, definition);
    QVERIFY2(problems.isEmpty(), qPrintable(problems + describe(r)));
    const QJsonArray screens = doc.value(QStringLiteral("screens")).toArray();
    if (!outcomes.isEmpty()) {
        QCOMPARE(screens.size(), outcomes.size());
        QCOMPARE(doc.value(QStringLiteral("exit_code")).toInt(), exitCode);
    }
    for (qsizetype i = 0; i < outcomes.size(); ++i)
        QCOMPARE(screens[i].toObject().value(QStringLiteral("outcome")).toString(), outcomes[i]);
    if (definition == QLatin1String("identify"))
        QCOMPARE(screens[0].toObject().value(QStringLiteral("panel")).toObject().value(QStringLiteral("width")).toInt(), 800);
    if (args.contains(QStringLiteral("--yes")) && exitCode == 0) {
        const QJsonObject upgraded = screens[0].toObject();
        QCOMPARE(upgraded.value(QStringLiteral("file")).toString(), m_telvFile);
        QCOMPARE(upgraded.value(QStringLiteral("device_id_after")).toString(), idOf(first));
        QVERIFY(upgraded.value(QStringLiteral("firmware_after")).toString().startsWith(QStringLiteral("v0.")));
    }
}

void TestTavrikctl::modelFirmwareIsLookedForInEachFirmwareFolder_data()
{
    // Which folders hold the model's file, in the order they are looked in,
    // and which is taken.
    QTest::addColumn<QStringList>("holding");
    QTest::addColumn<QString>("taken");
    QTest::newRow("--firmware-dir") << QStringList{"option"} << "option";
    QTest::newRow("TAVRIK_FIRMWARE_DIR") << QStringList{"variable"} << "variable";
    QTest::newRow("XDG_DATA_HOME") << QStringList{"data-home/tavrik/firmware"} << "data-home/tavrik/firmware";
    QTest::newRow("XDG_DATA_DIRS") << QStringList{"data-dir/tavrik/firmware"} << "data-dir/tavrik/firmware";
    QTest::newRow("the option first") << QStringList{"option", "variable", "data-home/tavrik/firmware"} << "option";
    QTest::newRow("none") << QStringList{} << "";
}

void TestTavrikctl::modelFirmwareIsLookedForInEachFirmwareFolder()
{
    QFETCH(QStringList, holding);
    QFETCH(QString, taken);
    const int slot = attach("6.8in-telv", 1);
    QTemporaryDir root;
    const QStringList folders{"option", "variable", "data-home/tavrik/firmware", "data-dir/tavrik/firmware"};
    for (const QString &folder : folders) {
        QVERIFY(QDir().mkpath(root.filePath(folder)));
        if (holding.contains(folder))
            QVERIFY(writeFile(root.filePath(folder + QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin")),
                              raw(testimages::upgradeTelvImage(30000))));
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TAVRIK_FIRMWARE_DIR"), root.filePath(QStringLiteral("variable")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), root.filePath(QStringLiteral("data-home")));
    environment.insert(QStringLiteral("XDG_DATA_DIRS"), root.filePath(QStringLiteral("data-dir")));
    const Run r = run({QStringLiteral("upgrade"), QStringLiteral("--dry-run"), QStringLiteral("--json"),
                       QStringLiteral("--firmware-dir"), root.filePath(QStringLiteral("option"))},
                      {}, 120000, kProgram, environment);
    const QJsonObject screen =
        QJsonDocument::fromJson(r.out.toUtf8()).object().value(QStringLiteral("screens")).toArray().at(0).toObject();
    if (!taken.isEmpty()) {
        QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
        QCOMPARE(screen.value(QStringLiteral("file")).toString(),
                 root.filePath(taken + QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin")));
        QCOMPARE(model(slot)->eraseSteps(), uint64_t(0));
        return;
    }
    // None holds it: the message names every path looked at, the
    // program's own firmware folder among them.
    QCOMPARE(r.exitCode, 4);
    QCOMPARE(screen.value(QStringLiteral("outcome")).toString(), QStringLiteral("refused"));
    QStringList looked;
    for (const QString &folder : folders)
        looked << root.filePath(folder);
    looked << QFileInfo(kProgram).path() + QStringLiteral("/../firmware");
    QVERIFY2(r.err.contains(port(slot) + QLatin1Char(' ') + idOf(slot) + QStringLiteral(": Can not open file. Looked for ")),
             qPrintable(describe(r)));
    for (const QString &folder : looked) {
        const QString path = QDir::cleanPath(folder + QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin"));
        QVERIFY2(r.err.contains(path) && screen.value(QStringLiteral("reason")).toString().contains(path), qPrintable(path));
    }
}

void TestTavrikctl::listTellsEveryScreenAndItsState()
{
    const int telv = attach("6.8in-telv", 1);
    const int k2t = attach("6.8in-k2t", 2);
    attach("4in-telv", 3, [](ScreenModel &m) { m.setMode(Mode::TelvBootLoader); });
    attach("5in-k2t-m50a", 4, [](ScreenModel &m) { m.setMode(Mode::K2tBootLoader); });
    const Run r = run({QStringLiteral("list")});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 5);
    QVERIFY(lines[0].startsWith(QStringLiteral("PORT")));
    // In port order, whatever order the bus lists them in.
    QVERIFY(lines[1].startsWith(port(telv)) && lines[1].contains(QStringLiteral("running"))
            && lines[1].contains(QStringLiteral("TELV 6.8IN")) && lines[1].contains(idOf(telv))
            && lines[1].contains(QStringLiteral("800x480")));
    QVERIFY(lines[2].startsWith(port(k2t)) && lines[2].contains(QStringLiteral("PANEL-W68A")));
    QVERIFY(lines[3].contains(QStringLiteral("1f3a:efe8")) && lines[3].contains(QStringLiteral("TELV boot loader")));
    QVERIFY(lines[4].contains(QStringLiteral("04b4:8613")) && lines[4].contains(QStringLiteral("K2T/K5TX boot loader")));
}

void TestTavrikctl::listJsonFieldsStayAsDocumented()
{
    const int telv = attach("6.8in-telv", 1, [](ScreenModel &m) { m.setIdent(debugIdent(m.preset().ident)); });
    attach("4in-telv", 3, [](ScreenModel &m) { m.setMode(Mode::TelvBootLoader); });
    const Run r = run({QStringLiteral("list"), QStringLiteral("--json")});
    QCOMPARE(r.exitCode, 0);
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(r.out.toUtf8(), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    const QJsonArray screens = doc.object().value(QStringLiteral("screens")).toArray();
    QCOMPARE(screens.size(), 2);
    const QStringList fields{"bus",  "device_id",   "firmware",  "identification", "model", "panel",
                             "port", "port_number", "port_path", "state",          "usb_id"};
    for (qsizetype i = 0; i < screens.size(); ++i)
        QCOMPARE(screens[i].toObject().keys(), fields);
    const QJsonObject running = screens[0].toObject();
    QCOMPARE(running.value("port").toString(), port(telv));
    QCOMPARE(running.value("bus").toInt(), 2);
    QCOMPARE(running.value("port_number").toInt(), 1);
    QCOMPARE(running.value("usb_id").toString(), QStringLiteral("c872:1004"));
    QCOMPARE(running.value("state").toString(), QStringLiteral("running"));
    QCOMPARE(running.value("model").toString(), QStringLiteral("TELV 6.8IN"));
    QVERIFY(running.value("identification").toString().contains(QStringLiteral("DEBUG")));
    QCOMPARE(running.value("panel").toObject().value("width").toInt(), 800);
    QCOMPARE(running.value("panel").toObject().value("height").toInt(), 480);
    QCOMPARE(running.value("device_id").toString(), idOf(telv));
    QVERIFY(running.value("firmware").toString().startsWith(QStringLiteral("v0.")));
    const QJsonObject boot = screens[1].toObject();
    QCOMPARE(boot.value("state").toString(), QStringLiteral("telv-boot-loader"));
    QCOMPARE(boot.value("usb_id").toString(), QStringLiteral("1f3a:efe8"));
    for (const char *unknown : {"model", "identification", "panel", "device_id", "firmware"})
        QVERIFY2(boot.value(QLatin1String(unknown)).isNull(), unknown);
}

void TestTavrikctl::screensAreChosenByPortOrDeviceId()
{
    // None attached.
    Run r = run({QStringLiteral("identify")});
    QCOMPARE(r.exitCode, 3);
    QVERIFY(r.err.contains(QStringLiteral("no screen is attached")));
    const int a = attach("6.8in-telv", 1);
    const int b = attach("4in-telv", 2);
    // Two attached and none chosen: the list, and a usage error.
    r = run({QStringLiteral("identify")});
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.contains(QStringLiteral("2 screens are attached")) && r.err.contains(idOf(a)) && r.err.contains(idOf(b)));
    // By port, in both spellings, and by device ID.
    r = run({QStringLiteral("identify"), QStringLiteral("--screen"), port(b)});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains(idOf(b)) && !r.out.contains(idOf(a)));
    r = run({QStringLiteral("identify"), QStringLiteral("--screen=2.1")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains(idOf(a)) && !r.out.contains(idOf(b)));
    r = run({QStringLiteral("identify"), QStringLiteral("--screen"), idOf(b), QStringLiteral("--screen"), idOf(a)});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains(idOf(a)) && r.out.contains(idOf(b)));
    r = run({QStringLiteral("identify"), QStringLiteral("--screen"), QStringLiteral("dead-beef-00000000")});
    QCOMPARE(r.exitCode, 3);
    QVERIFY(r.err.contains(QStringLiteral("no screen is dead-beef-00000000")));
    // Every command, list too, stops on a port that names nothing, and
    // tells what is attached.
    for (const char *command : {"list", "fill"}) {
        QStringList args{QLatin1String(command), QStringLiteral("--screen"), QStringLiteral("1.9")};
        if (args[0] == QLatin1String("fill"))
            args.insert(1, QStringLiteral("red"));
        r = run(args);
        QCOMPARE(r.exitCode, 3);
        // Told whole: the device IDs too, though only a port was named.
        QVERIFY2(r.out.isEmpty() && r.err.contains(QStringLiteral("no screen is 1.9; attached:")) && r.err.contains(port(a))
                     && r.err.contains(port(b)) && r.err.contains(idOf(a)) && r.err.contains(idOf(b)),
                 qPrintable(describe(r)));
    }
    r = run({QStringLiteral("list"), QStringLiteral("--screen"), port(b)});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains(idOf(b)) && !r.out.contains(port(a)), qPrintable(describe(r)));
    // The one attached needs no choosing.
    m_bus->unplug(b);
    r = run({QStringLiteral("identify")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains(QStringLiteral("size code: 7, variant code: 6")));
}

void TestTavrikctl::displayJobsReachEveryChosenScreen()
{
    const int wide = attach("6.8in-telv", 1);
    const int tall = attach("4in-telv", 2);
    Run r = run({QStringLiteral("fill"), QStringLiteral("red"), QStringLiteral("--all")});
    QCOMPARE(r.exitCode, 0);
    for (int slot : {wide, tall}) {
        const Bytes frame = model(slot)->lastFrame();
        QCOMPARE(frame.size(), size_t(800 * 480 * 2));
        for (size_t i = 0; i < frame.size(); i += 2)
            if (frame[i] != 0x00 || frame[i + 1] != 0xF8)
                QFAIL("a pixel is not red");
    }
    // The panel's own flip before the picture: the 6.8-inch one shows it upright.
    QCOMPARE(model(wide)->flip().value_or(-1), 1);
    QVERIFY(!model(tall)->flip().has_value() || model(tall)->flip().value() == 0);

    // A picture arrives the right way up on the glass.
    QImage picture(800, 480, QImage::Format_RGB32);
    picture.fill(Qt::white);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x)
            picture.setPixel(x, y, qRgb(0, 0, 255));
    const QString file = m_dir.filePath(QStringLiteral("corner.png"));
    QVERIFY(picture.save(file));
    r = run({QStringLiteral("show"), file, QStringLiteral("--screen"), port(tall)});
    QCOMPARE(r.exitCode, 0);
    int w = 0;
    int h = 0;
    const std::vector<uint16_t> glass = model(tall)->shownPicture(&w, &h);
    QCOMPARE(QSize(w, h), QSize(800, 480));
    QCOMPARE(glass[0], uint16_t(0x001F));                   // top left is blue
    QCOMPARE(glass[size_t(479) * 800 + 799], uint16_t(0xFFFF)); // bottom right white

    r = run({QStringLiteral("backlight"), QStringLiteral("50"), QStringLiteral("--screen"), port(wide)});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(model(wide)->backlight().value_or(-1), 128);
    QVERIFY(!model(tall)->backlight().has_value());
}

void TestTavrikctl::flipFollowsThePanelsRules()
{
    const int flips = attach("7in-telv", 1);
    const int fixed = attach("4in-square-telv", 2);
    Run r = run({QStringLiteral("flip"), QStringLiteral("both"), QStringLiteral("--screen"), port(flips)});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(model(flips)->flip().value_or(-1), 3);
    r = run({QStringLiteral("flip"), QStringLiteral("--screen"), port(flips)});
    QCOMPARE(model(flips)->flip().value_or(-1), 0); // its own default
    r = run({QStringLiteral("flip"), QStringLiteral("vertical"), QStringLiteral("--all")});
    QCOMPARE(r.exitCode, 5);
    QVERIFY2(r.err.contains(port(fixed)) && r.err.contains(QStringLiteral("its panel cannot flip")), qPrintable(describe(r)));
    QCOMPARE(model(flips)->flip().value_or(-1), 1); // the other screen got it all the same
    QVERIFY(!model(fixed)->flip().has_value());
}

void TestTavrikctl::logIsWrittenOnlyWhenWholeAndOnlyFromDebugFirmware()
{
    Bytes log(300);
    for (size_t i = 0; i < log.size(); ++i)
        log[i] = uint8_t('a' + i % 26);
    const int debug = attach("6.8in-telv", 1, [&](ScreenModel &m) {
        m.setIdent(debugIdent(m.preset().ident));
        m.setLog(log);
    });
    const int plain = attach("4in-telv", 2);
    Run r = run({QStringLiteral("log"), QStringLiteral("first.txt"), QStringLiteral("--screen"), port(debug)});
    QCOMPARE(r.exitCode, 0);
    QFile saved(QStringLiteral("first.txt"));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), raw(log));
    saved.close();

    // To standard output, byte for byte, from one screen only.
    r = run({QStringLiteral("log"), QStringLiteral("-"), QStringLiteral("--screen"), port(debug)});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out.toLatin1(), raw(log));
    r = run({QStringLiteral("log"), QStringLiteral("-"), QStringLiteral("--all")});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.out.isEmpty() && r.err.contains(QStringLiteral("log - takes one screen")), qPrintable(describe(r)));

    r = run({QStringLiteral("log"), QStringLiteral("--screen"), port(plain)});
    QCOMPARE(r.exitCode, 5);
    QVERIFY(r.err.contains(QStringLiteral("runs no debug firmware")));
    QVERIFY(!QFile::exists(QStringLiteral("screen.txt")));

    // A screen that falls silent in the middle of the read-out leaves the
    // file written before as it was.
    int chunks = 0;
    model(debug)->setRequestFilter([&chunks](const Setup &s, const uint8_t *, size_t) {
        return s.request == 0xA6 && ++chunks >= 3 ? ScreenModel::FilterAction::Silent : ScreenModel::FilterAction::Pass;
    });
    r = run({QStringLiteral("log"), QStringLiteral("first.txt"), QStringLiteral("--screen"), port(debug)});
    model(debug)->setRequestFilter({});
    QCOMPARE(r.exitCode, 5);
    QVERIFY(r.err.contains(QStringLiteral("the log could not be read from the screen")));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), raw(log));
}

void TestTavrikctl::ledTestEndsWithOneChannelLit()
{
    const int slot = attach("6.8in-telv", 1);
    const auto lit = [this, slot] {
        int n = 0;
        for (int reg = 0x24; reg < 0x6C; ++reg)
            n += model(slot)->ledRegister(0x00, uint8_t(reg)) != 0;
        return n;
    };
    // Stopped by Ctrl-C, it ends as well, and says it did not run its time.
    QProcess p;
    p.start(kProgram, {QStringLiteral("led-test"), QStringLiteral("--seconds"), QStringLiteral("600")});
    QTRY_VERIFY_WITH_TIMEOUT(lit() > 0, 20000);
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 6);
    QCOMPARE(lit(), 1);

    QElapsedTimer t;
    t.start();
    const Run r = run({QStringLiteral("led-test"), QStringLiteral("--seconds"), QStringLiteral("1")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(t.elapsed() >= 1000);
    QCOMPARE(lit(), 1);
}

void TestTavrikctl::upgradeRefusesAFileThatFailsForAnyScreen()
{
    const int telv = attach("6.8in-telv", 1);
    const int k2t = attach("6.8in-k2t", 2);
    const Bytes flash = model(telv)->flash();
    const Bytes config = model(k2t)->config();
    // A TELV image is no EEPROM image: the older screen refuses it, so
    // neither is written.
    Run r = run({QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--all"), QStringLiteral("--yes")});
    QCOMPARE(r.exitCode, 4);
    QVERIFY2(r.err.contains(port(k2t)) && r.err.contains(QStringLiteral("This is not a valid firmware file, code = 3.")),
             qPrintable(describe(r)));
    QVERIFY(model(telv)->flash() == flash);
    QVERIFY(model(k2t)->config() == config);
    const QString tooSmall = m_dir.filePath(QStringLiteral("small/TELV.small.bin"));
    QVERIFY(writeFile(tooSmall, raw(testimages::upgradeTelvImage(24576)).left(24575)));
    r = run({QStringLiteral("upgrade"), tooSmall, QStringLiteral("--screen"), port(telv), QStringLiteral("--yes")});
    QCOMPARE(r.exitCode, 4);
    QVERIFY(r.err.contains(QStringLiteral("code = 1.")));
    const QString forbidden = m_dir.filePath(QStringLiteral("k2t/4NK2T.bin"));
    QVERIFY(writeFile(forbidden, raw(testimages::upgradeEepromImage())));
    r = run({QStringLiteral("upgrade"), forbidden, QStringLiteral("--screen"), port(k2t), QStringLiteral("--yes")});
    QCOMPARE(r.exitCode, 4);
    QVERIFY(r.err.contains(QStringLiteral("This firmware is forbidden.")));
    QVERIFY(model(k2t)->config() == config);
}

void TestTavrikctl::upgradeAsksFirstUnlessTold()
{
    const int slot = attach("6.8in-telv", 1);
    const Bytes before = model(slot)->flash();
    Run r = run({QStringLiteral("upgrade"), m_telvFile}, "n\n");
    QCOMPARE(r.exitCode, 6);
    QVERIFY(r.out.contains(QStringLiteral("Continue? [y/N]")));
    QVERIFY(r.out.contains(QStringLiteral("Nothing was written.")));
    QVERIFY(model(slot)->flash() == before);
    QCOMPARE(model(slot)->eraseSteps(), uint64_t(0));
    // No answer at all is no yes either, nor Ctrl-C at the question.
    r = run({QStringLiteral("upgrade"), m_telvFile});
    QCOMPARE(r.exitCode, 6);
    {
        QProcess p;
        p.start(kProgram, {QStringLiteral("upgrade"), m_telvFile});
        QVERIFY(waitForOutput(p, QStringLiteral("[y/N]")));
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 6);
        QVERIFY(QString::fromUtf8(p.readAllStandardOutput()).contains(QStringLiteral("Nothing was written.")));
        QCOMPARE(model(slot)->eraseSteps(), uint64_t(0));
    }
    r = run({QStringLiteral("upgrade"), m_telvFile}, "y\n");
    QCOMPARE(r.exitCode, 0);
    QVERIFY(startsWith(model(slot)->flash(), expectedFlash(before, testimages::upgradeTelvImage(30000))));
}

void TestTavrikctl::dryRunSaysWhatWouldHappenAndWritesNothing()
{
    const int telv = attach("6.8in-telv", 1);
    const int boot = attach("4in-telv", 2, [](ScreenModel &m) { m.setMode(Mode::TelvBootLoader); });
    const Bytes flash = model(telv)->flash();
    const Run r = run({QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--all"), QStringLiteral("--dry-run")});
    QCOMPARE(r.exitCode, 0);
    const QString passes = QStringLiteral(": would be written: ") + m_telvFile + QStringLiteral(" passes its checks; would ");
    QVERIFY2(r.out.contains(port(telv) + QLatin1Char(' ') + idOf(telv) + passes + QStringLiteral("read its screen block")),
             qPrintable(describe(r)));
    QVERIFY(r.out.contains(port(boot) + passes + QStringLiteral("fetch its screen block")));
    QVERIFY(r.out.contains(QStringLiteral("in its boot loader, where what it holds cannot be read")));
    QVERIFY(model(telv)->flash() == flash);
    QCOMPARE(model(telv)->eraseSteps(), uint64_t(0));
    QCOMPARE(model(boot)->mode(), Mode::TelvBootLoader);
}

void TestTavrikctl::screensThatHaveTheFileAreLeftAsTheyWereUnlessTold()
{
    const int telv = attach("6.8in-telv", 1);
    const int k2t = attach("6.8in-k2t", 2);
    const QString k2tId = idOf(k2t);
    const auto upgrade = [this](const QString &file, int slot, const QStringList &more) {
        return run(QStringList{QStringLiteral("upgrade"), file, QStringLiteral("--screen"), port(slot)} << more);
    };
    const auto json = [](const Run &r) {
        return QJsonDocument::fromJson(r.out.toUtf8()).object().value(QStringLiteral("screens")).toArray().at(0).toObject();
    };
    Run r = upgrade(m_telvFile, telv, {QStringLiteral("--yes")});
    QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
    // A K2T screen keeps its device ID.
    r = upgrade(m_eepromFile, k2t, {QStringLiteral("--yes"), QStringLiteral("--json")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(json(r).value(QStringLiteral("outcome")).toString(), QStringLiteral("changed"));
    QCOMPARE(json(r).value(QStringLiteral("device_id_after")).toString(), k2tId);
    QCOMPARE(idOf(k2t), k2tId);
    const uint64_t erased = model(telv)->eraseSteps();
    const Bytes flash = model(telv)->flash();

    // The same files again: a dry run tells, and the upgrade writes nothing.
    r = upgrade(m_telvFile, telv, {QStringLiteral("--dry-run")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains(port(telv) + QLatin1Char(' ') + idOf(telv) + QStringLiteral(": unchanged: it has ") + m_telvFile
                            + QStringLiteral(" already (firmware v0.")),
             qPrintable(describe(r)));
    r = upgrade(m_telvFile, telv, {QStringLiteral("--yes")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains(QStringLiteral(": unchanged: it has TELV.6d8.TAVRIK.bin already")) && r.err.isEmpty(),
             qPrintable(describe(r)));
    r = upgrade(m_eepromFile, k2t, {QStringLiteral("--yes"), QStringLiteral("--json")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(json(r).value(QStringLiteral("outcome")).toString(), QStringLiteral("unchanged"));
    QCOMPARE(model(telv)->eraseSteps(), erased);
    QVERIFY(model(telv)->flash() == flash);

    // Told to: written again, the ID kept; a new ID only with --new-id,
    // named in the screen's own line.
    r = upgrade(m_telvFile, telv, {QStringLiteral("--yes"), QStringLiteral("--reinstall")});
    QVERIFY2(r.exitCode == 0 && r.out.contains(QStringLiteral(": done: ")), qPrintable(describe(r)));
    QCOMPARE(model(telv)->eraseSteps(), 2 * erased);
    r = upgrade(m_eepromFile, k2t, {QStringLiteral("--yes"), QStringLiteral("--reinstall"), QStringLiteral("--json")});
    QCOMPARE(json(r).value(QStringLiteral("outcome")).toString(), QStringLiteral("changed"));
    QCOMPARE(json(r).value(QStringLiteral("device_id_after")).toString(), k2tId);
    r = upgrade(m_eepromFile, k2t, {QStringLiteral("--yes"), QStringLiteral("--new-id")});
    QCOMPARE(r.exitCode, 0);
    const QString newId = idOf(k2t);
    QVERIFY(newId != k2tId);
    QVERIFY2(r.out.contains(port(k2t) + QLatin1Char(' ') + k2tId + QStringLiteral(": done: 7NDK2T.bin written; its new device "
                                                                                  "ID is ")
                            + newId),
             qPrintable(describe(r)));
    for (const QString &line : r.out.split(QLatin1Char('\n')))
        QVERIFY2(!line.contains(newId) || line.startsWith(port(k2t)), qPrintable(describe(r)));
}

void TestTavrikctl::runningScreensOfBothFamiliesAreUpgradedAtOnce()
{
    const int telv = attach("6.8in-telv", 1);
    const int k2t = attach("6.8in-k2t", 2);
    const Bytes before = model(telv)->flash();
    const Bytes file = testimages::upgradeTelvImage(30000);
    // One file per run: the TELV screen now, the K2T screen at the same time
    // from a second run.
    QProcess second;
    second.start(kProgram, {QStringLiteral("upgrade"), m_eepromFile, QStringLiteral("--screen"), port(k2t),
                            QStringLiteral("--yes")});
    // Under way first: umockdev names a process's event socket by its
    // descriptor number, and two processes binding one name at the same
    // moment leave one without USB.
    QVERIFY(waitForOutput(second, QStringLiteral("%")));
    const Run r = run({QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--screen"), port(telv), QStringLiteral("--yes")});
    QVERIFY(second.waitForFinished(60000));
    QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
    QVERIFY2(second.exitCode() == 0, second.readAllStandardError().constData());
    // Plain lines, one per step, when the output is no terminal.
    for (const char *step : {": read 0%", ": erase", ": program", ": verify", ": done 100%"})
        QVERIFY2(r.out.contains(QLatin1String(step)), qPrintable(describe(r)));
    QVERIFY(!r.out.contains(QStringLiteral("\x1b[")));
    QVERIFY(r.out.contains(port(telv) + QLatin1Char(' ') + idOf(telv) + QStringLiteral(": done")));
    QVERIFY(startsWith(model(telv)->flash(), expectedFlash(before, file)));
    const QString secondOut = QString::fromUtf8(second.readAllStandardOutput());
    QVERIFY2(secondOut.contains(QStringLiteral("unplug it and plug it in again")), qPrintable(secondOut));
    const Bytes eeprom = model(k2t)->config();
    const Bytes image = testimages::upgradeEepromImage();
    QVERIFY(std::equal(image.begin(), image.begin() + 0x1FF0, eeprom.begin()));
    // The TELV screen was restarted and runs.
    QTRY_VERIFY_WITH_TIMEOUT(m_bus->plugged(telv) && model(telv)->mode() == Mode::Running, 5000);
}

void TestTavrikctl::eachModelGetsItsOwnFirmwareAndIsDoneOnlyWhenBack()
{
    // tavrikctl in a folder of its own, with the firmware folder beside it.
    const QString program = m_dir.filePath(QStringLiteral("bin/tavrikctl"));
    QDir().mkpath(QFileInfo(program).path());
    QFile::remove(program);
    QVERIFY(QFile::copy(kProgram, program));
    const QString sevenFile = m_dir.filePath(QStringLiteral("firmware/TELV/TELV.7d0.TAVRIK.bin"));
    Bytes seven = testimages::upgradeTelvImage(26000);
    // Its panel's own settings: another model's image differs in block 2.
    seven[testimages::blockStart(seven, 0x1000, 1) + 8] ^= 0xFF;
    QVERIFY(writeFile(sevenFile, raw(seven)));
    const int sixEight = attach("6.8in-telv", 1);
    const int sevenInch = attach("7in-telv", 2);
    const Bytes before[2] = {model(sixEight)->flash(), model(sevenInch)->flash()};

    // Another model's file is refused for that screen, and nothing is written.
    Run r = run({QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--screen"), port(sevenInch),
                 QStringLiteral("--yes")},
                {}, 120000, program);
    QCOMPARE(r.exitCode, 4);
    QVERIFY2(r.err.contains(QStringLiteral("TELV.6d8.TAVRIK.bin is made for the 6.8inch/TAVRIK-6.8INRGB")),
             qPrintable(describe(r)));
    QCOMPARE(model(sevenInch)->eraseSteps(), uint64_t(0));

    // No file named: each screen its own, done once it came back.
    r = run({QStringLiteral("upgrade"), QStringLiteral("--all"), QStringLiteral("--yes")}, {}, 120000, program);
    QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
    QVERIFY(startsWith(model(sixEight)->flash(), expectedFlash(before[0], testimages::upgradeTelvImage(30000))));
    QVERIFY(startsWith(model(sevenInch)->flash(), expectedFlash(before[1], seven)));
    for (const auto &[slot, file] : {std::pair(sixEight, "TELV.6d8.TAVRIK.bin"), std::pair(sevenInch, "TELV.7d0.TAVRIK.bin")})
        QVERIFY2(r.out.contains(port(slot) + QLatin1Char(' ') + idOf(slot) + QStringLiteral(": done: ")
                                + QLatin1String(file) + QStringLiteral(" written; it restarted and runs firmware v0.")),
                 qPrintable(describe(r)));
}

void TestTavrikctl::screensBehindHubsAtOneLastPortAreWrittenApart()
{
    // Port 1 of two hubs on bus 2: both were PHY(2.1) once.
    auto a = std::make_shared<ScreenModel>(*findPreset("6.8in-telv"), 0x301);
    auto b = std::make_shared<ScreenModel>(*findPreset("6.8in-telv"), 0x302);
    for (const auto &m : {a, b})
        m->setRebootDelayMs(200);
    m_bus->attach(a, 2, std::vector<int>{2, 1});
    m_bus->attach(b, 2, std::vector<int>{3, 1});
    const QString idB = screenlink::formatDeviceId(b->deviceId().data());
    QTRY_VERIFY(run({QStringLiteral("list")}).out.contains(QStringLiteral("PHY(2.3.1)")));
    const Run listed = run({QStringLiteral("list")});
    QVERIFY2(listed.out.contains(QStringLiteral("PHY(2.2.1)")), qPrintable(describe(listed)));

    Run r = run({QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--screen"), QStringLiteral("2.1"),
                 QStringLiteral("--yes")});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(QStringLiteral("2.1 names 2 screens (PHY(2.2.1), PHY(2.3.1))")), qPrintable(describe(r)));

    r = run({QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--screen"), idB, QStringLiteral("--yes")});
    QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
    // Named as the whole bus tells them apart, though only B was chosen.
    QVERIFY2(r.out.contains(QStringLiteral("PHY(2.3.1) ") + idB + QStringLiteral(": done")), qPrintable(describe(r)));
    QCOMPARE(a->eraseSteps(), uint64_t(0));
    QCOMPARE(b->eraseSteps(), uint64_t(16));
    r = run({QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--all"), QStringLiteral("--yes")});
    QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
    QCOMPARE(a->eraseSteps(), uint64_t(16));
    // B has this firmware already: nothing of it is erased again.
    QCOMPARE(b->eraseSteps(), uint64_t(16));
    QVERIFY2(r.out.contains(QStringLiteral("PHY(2.3.1) ") + idB + QStringLiteral(": unchanged")), qPrintable(describe(r)));
}

void TestTavrikctl::screenAnotherProgramHoldsIsSentNothing()
{
    const int slot = attach("6.8in-telv", 1);
    // Another program has the screen open, as panelctl in monitor mode keeps it.
    const auto context = std::make_shared<screenlink::UsbContext>();
    std::shared_ptr<screenlink::Screen> held;
    QTRY_VERIFY((held = held ? held : holdScreen(context, 2, 1)) != nullptr);
    model(slot)->clearRequests();
    Run r = run({QStringLiteral("list"), QStringLiteral("--json")});
    QVERIFY2(r.out.contains(QStringLiteral("\"state\": \"in-use\"")), qPrintable(describe(r)));
    r = run({QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--all"), QStringLiteral("--yes")});
    QCOMPARE(r.exitCode, 5);
    QVERIFY2(r.err.contains(port(slot) + QStringLiteral(": is in use by another program")), qPrintable(describe(r)));
    r = run({QStringLiteral("fill"), QStringLiteral("red")});
    QCOMPARE(r.exitCode, 5);
    QVERIFY(model(slot)->requests().empty());
    // Let go: the next job has it.
    held.reset();
    r = run({QStringLiteral("fill"), QStringLiteral("red")});
    QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
}

void TestTavrikctl::bootLoaderScreensAreUpgradedThroughTheirTools()
{
    const int telv = attach("6.8in-telv", 1, telvBootLoader);
    const int k2t = attach("6.8in-k2t", 2, k2tBootLoader);
    const Bytes block = serveScreenBlock(telv, 0x49);
    // --verbose brings the libraries' debug lines to standard error; --quiet
    // leaves standard output empty.
    Run r = run({QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--screen"), port(telv), QStringLiteral("--yes"),
                 QStringLiteral("-v")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.contains(QStringLiteral("Firmware: ")), qPrintable(describe(r)));
    QTRY_VERIFY_WITH_TIMEOUT(m_bus->plugged(telv) && model(telv)->mode() == Mode::Running, 10000);
    Bytes sent = block;
    sent[8] = 0xFF;
    QVERIFY(std::equal(sent.begin(), sent.end(), model(telv)->flash().begin() + 0x1000));
    r = run({QStringLiteral("upgrade"), m_eepromFile, QStringLiteral("--screen"), port(k2t), QStringLiteral("--yes"),
             QStringLiteral("--quiet")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.isEmpty() && !r.err.contains(QStringLiteral("Firmware: ")), qPrintable(describe(r)));
    QVERIFY(model(k2t)->config() == testimages::upgradeEepromImage());
}

void TestTavrikctl::oneScreenFailingNeverStopsTheOthers_data()
{
    QTest::addColumn<QString>("fault");
    for (const char *f : {"unplugged", "silent", "lying"})
        QTest::newRow(f) << QString::fromLatin1(f);
}

void TestTavrikctl::oneScreenFailingNeverStopsTheOthers()
{
    QFETCH(QString, fault);
    const int slots_[3] = {attach("6.8in-telv", 1), attach("6.8in-telv", 2), attach("6.8in-telv", 3)};
    const int faulty = slots_[1];
    Bytes before[3];
    for (int i = 0; i < 3; ++i)
        before[i] = model(slots_[i])->flash();
    auto programs = std::make_shared<std::atomic<int>>(0);
    auto tripped = std::make_shared<std::atomic<bool>>(false);
    const bool lying = fault == QLatin1String("lying");
    model(faulty)->setRequestFilter([programs, tripped, lying](const Setup &s, const uint8_t *, size_t n) {
        if (s.request == 0xB5 && n == 54 && ++*programs == 100)
            *tripped = true;
        return *tripped && !lying ? ScreenModel::FilterAction::Silent : ScreenModel::FilterAction::Pass;
    });
    std::thread actor([&] {
        for (int i = 0; i < 60000 && !*tripped; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (fault == QLatin1String("unplugged")) {
            m_bus->unplug(faulty);
        } else if (lying) {
            Faults lies;
            lies.shortReply = 0;
            model(faulty)->setFaults(lies);
        }
    });
    const Run r = run({QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--all"), QStringLiteral("--yes")});
    actor.join();
    QVERIFY(*tripped);
    // Cut off in its programming: its own status, which wins.
    QCOMPARE(r.exitCode, 7);
    const Bytes file = testimages::upgradeTelvImage(30000);
    for (int i : {0, 2}) {
        QVERIFY2(r.out.contains(port(slots_[i]) + QLatin1Char(' ') + idOf(slots_[i]) + QStringLiteral(": done")),
                 qPrintable(describe(r)));
        QVERIFY(startsWith(model(slots_[i])->flash(), expectedFlash(before[i], file)));
    }
    QVERIFY2(r.err.contains(port(faulty) + QLatin1Char(' ') + idOf(faulty) + QStringLiteral(": INCOMPLETE: ")),
             qPrintable(describe(r)));
    QVERIFY2(r.err.contains(QStringLiteral("keep the screen plugged in (or plug it back in) and upgrade it again")),
             qPrintable(describe(r)));
    model(faulty)->setRequestFilter({});
    model(faulty)->setFaults({});
}

void TestTavrikctl::bootLoadersThatCannotBeToldApartAreRefused_data()
{
    QTest::addColumn<bool>("telv");
    QTest::newRow("TELV") << true;
    QTest::newRow("K2T/K5TX") << false;
}

void TestTavrikctl::bootLoadersThatCannotBeToldApartAreRefused()
{
    // The tool takes whichever it finds: choosing one is not enough while
    // the other is attached, even if only one is named.
    QFETCH(bool, telv);
    const auto bootLoader = telv ? telvBootLoader : k2tBootLoader;
    const char *preset = telv ? "6.8in-telv" : "6.8in-k2t";
    const int a = attach(preset, 1, bootLoader);
    const int b = attach(preset, 2, bootLoader);
    if (telv)
        serveScreenBlock(a, 0x4C);
    const Bytes config[2] = {model(a)->config(), model(b)->config()};
    const Bytes flash[2] = {model(a)->flash(), model(b)->flash()};
    const Run r = run({QStringLiteral("upgrade"), telv ? m_telvFile : m_eepromFile, QStringLiteral("--screen"), port(a),
                       QStringLiteral("--yes")});
    QCOMPARE(r.exitCode, 5);
    QVERIFY2(r.err.contains(port(a) + QStringLiteral(": the ")) && r.err.contains(port(b) + QStringLiteral(" waits there too: unplug it, then upgrade this screen alone")),
             qPrintable(describe(r)));
    for (const int i : {0, 1}) {
        QVERIFY(model(i == 0 ? a : b)->config() == config[i]);
        QVERIFY(model(i == 0 ? a : b)->flash() == flash[i]);
    }
}

void TestTavrikctl::bootLoaderBeingUpgradedIsInUseForOtherPrograms()
{
    // While the screen block comes from a slow server the boot loader is
    // claimed by nobody; the port is the upgrading program's all the same.
    const int slot = attach("6.8in-telv", 1, telvBootLoader);
    QVERIFY2(m_server.start({QStringLiteral("--delay-ms"), QStringLiteral("4000")}), qPrintable(m_server.errorString()));
    qputenv("TAVRIK_FIRMWARE_SERVER", m_server.host().toUtf8());
    serveScreenBlock(slot, 0x4D);
    QProcess first;
    first.start(kProgram, {QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--yes")});
    QVERIFY(waitForOutput(first, QStringLiteral(": download")));
    Run r = run({QStringLiteral("list"), QStringLiteral("--json")});
    QVERIFY2(r.out.contains(QStringLiteral("\"state\": \"in-use\"")), qPrintable(describe(r)));
    r = run({QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--screen"), port(slot), QStringLiteral("--yes")});
    QCOMPARE(r.exitCode, 5);
    QVERIFY2(r.err.contains(port(slot) + QStringLiteral(": is in use by another program")), qPrintable(describe(r)));
    QVERIFY(first.waitForFinished(90000));
    QVERIFY2(first.exitCode() == 0, first.readAllStandardError().constData());
    QTRY_VERIFY_WITH_TIMEOUT(m_bus->plugged(slot) && model(slot)->mode() == Mode::Running, 10000);
    QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    qputenv("TAVRIK_FIRMWARE_SERVER", m_server.host().toUtf8());
}

void TestTavrikctl::k2tScreensUpgradedTogetherGetTwoIds()
{
    attach("6.8in-k2t", 1);
    attach("6.8in-k2t", 2);
    Run r = run({QStringLiteral("upgrade"), m_eepromFile, QStringLiteral("--all"), QStringLiteral("--yes")});
    QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
    r = run({QStringLiteral("list"), QStringLiteral("--json")});
    const QJsonArray screens =
        QJsonDocument::fromJson(r.out.toUtf8()).object().value(QStringLiteral("screens")).toArray();
    QCOMPARE(screens.size(), 2);
    const QString ids[2] = {screens[0].toObject().value("device_id").toString(),
                            screens[1].toObject().value("device_id").toString()};
    QVERIFY2(!ids[0].isEmpty() && ids[0] != ids[1], qPrintable(r.out));
}

void TestTavrikctl::ledTestOnAScreenThatLeavesFails()
{
    const int slot = attach("6.8in-telv", 1);
    QProcess p;
    p.start(kProgram, {QStringLiteral("led-test"), QStringLiteral("--seconds"), QStringLiteral("600")});
    const auto chasing = [this, slot] {
        for (int reg = 0x24; reg < 0x6C; ++reg)
            if (model(slot)->ledRegister(0x00, uint8_t(reg)) != 0)
                return true;
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(chasing(), 20000);
    m_bus->unplug(slot);
    QVERIFY(p.waitForFinished(30000));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QCOMPARE(p.exitCode(), 5);
    QVERIFY2(err.contains(QStringLiteral("the screen left during the LED test")), qPrintable(err));
}

void TestTavrikctl::stopDuringTheLastCheckStopsBeforeAnyErase()
{
    // Ctrl-C while the job reads the device ID once more before its first
    // erase, the screen answering slowly from then on: the program sees
    // the stop there, and either stops the job or says it writes; never
    // says one and does the other.
    const int slot = attach("6.8in-telv", 1);
    const Bytes before = model(slot)->flash();
    QProcess p;
    p.start(kProgram, {QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--yes")});
    QVERIFY(p.waitForStarted(5000));
    const pid_t pid = pid_t(p.processId());
    auto flashRead = std::make_shared<std::atomic<bool>>(false);
    auto sent = std::make_shared<std::atomic<bool>>(false);
    model(slot)->setRequestFilter([=](const Setup &s, const uint8_t *out, size_t n) {
        const bool bridge = s.request == 0xB5 && n >= 5 && out[0] == 0x51;
        if (bridge && out[1] == 0x03)
            *flashRead = true;
        if (*flashRead && !*sent && bridge && out[1] == 0x02 && out[3] == 0x1F && out[4] == 0xF0) {
            ::kill(pid, SIGINT);
            *sent = true;
        }
        return *sent ? ScreenModel::FilterAction::Slow : ScreenModel::FilterAction::Pass;
    });
    QVERIFY(p.waitForFinished(90000));
    model(slot)->setRequestFilter({});
    QVERIFY(*sent);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(out.contains(QStringLiteral("Stopping: screens not yet written stop now; 0 being written")),
             qPrintable(out + err));
    QCOMPARE(p.exitCode(), 6);
    QVERIFY2(err.contains(QStringLiteral("FAILED: stopped before anything was written")), qPrintable(err));
    QCOMPARE(model(slot)->eraseSteps(), uint64_t(0));
    QVERIFY(model(slot)->flash() == before);
}

void TestTavrikctl::screenHeldAMomentAfterItsRestartIsStillDone()
{
    // Another program (not one of ours) looks at the screen the moment it
    // is back from its restart: the upgrade waits for it to let go.
    attach("6.8in-telv", 1);
    auto changes = std::make_shared<std::atomic<int>>(0);
    m_bus->setChangeListener([changes](int) { ++*changes; });
    std::atomic<bool> held{false};
    std::atomic<bool> done{false};
    std::thread other([&] {
        const auto context = std::make_shared<screenlink::UsbContext>();
        // Gone for the restart, then back.
        while (*changes < 2 && !done)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        screenlink::DeviceHandle handle;
        for (int i = 0; i < 2000 && !done && !handle; ++i) {
            const screenlink::DeviceList devices(context->get());
            for (libusb_device *d : devices) {
                libusb_device_descriptor desc{};
                if (!handle && libusb_get_device_descriptor(d, &desc) == 0 && desc.idVendor == screenlink::kRunningScreenId.vendor) {
                    handle = screenlink::DeviceHandle::open(d);
                    if (handle && handle.claimInterface0() < 0)
                        handle.reset();
                }
            }
        }
        held = bool(handle);
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
    });
    const Run r = run({QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--yes")});
    done = true;
    other.join();
    m_bus->setChangeListener({});
    QVERIFY(held);
    QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
    QVERIFY2(r.out.contains(QStringLiteral(": done")), qPrintable(describe(r)));
}

void TestTavrikctl::missingToolIsNamedBeforeAnythingIsWritten()
{
    // The program on its own, with no tools beside it.
    const QString alone = m_dir.filePath(QStringLiteral("alone/tavrikctl"));
    QDir().mkpath(QFileInfo(alone).path());
    QFile::remove(alone);
    QVERIFY(QFile::copy(kProgram, alone));
    const int slot = attach("6.8in-k2t", 1, k2tBootLoader);
    const Run r = run({QStringLiteral("upgrade"), m_eepromFile, QStringLiteral("--yes")}, {}, 60000, alone);
    QCOMPARE(r.exitCode, 5);
    QVERIFY2(r.err.contains(QStringLiteral("The boot-loader tool eeprom is missing. Put the screen maker's eeprom into ")
                            + QFileInfo(alone).path()),
             qPrintable(describe(r)));
    QCOMPARE(model(slot)->config()[0], uint8_t(0xFF));
}

void TestTavrikctl::ctrlCStopsOnlyWhereNothingIsWrittenYet()
{
    const int slot = attach("6.8in-telv", 1);
    const Bytes before = model(slot)->flash();
    // While its flash is being read: nothing is written yet, so it stops.
    {
        QProcess p;
        p.start(kProgram, {QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--yes")});
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromUtf8(p.readAllStandardOutput())).contains(QStringLiteral(": read")), 10000);
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(30000));
        out += QString::fromUtf8(p.readAllStandardOutput());
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QCOMPARE(p.exitCode(), 6);
        QVERIFY2(out.contains(QStringLiteral("Stopping: screens not yet written stop now")), qPrintable(out + err));
        QVERIFY2(err.contains(QStringLiteral("FAILED: stopped before anything was written")), qPrintable(err));
        QCOMPARE(model(slot)->eraseSteps(), uint64_t(0));
        QVERIFY(model(slot)->flash() == before);
    }
    // Once it erases, it finishes; a second Ctrl-C says why it does not stop.
    {
        QProcess p;
        p.start(kProgram, {QStringLiteral("upgrade"), m_telvFile, QStringLiteral("--yes")});
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromUtf8(p.readAllStandardOutput())).contains(QStringLiteral(": erase")), 20000);
        ::kill(pid_t(p.processId()), SIGINT);
        QTest::qWait(300);
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(60000));
        out += QString::fromUtf8(p.readAllStandardOutput());
        QCOMPARE(p.exitCode(), 0);
        QVERIFY2(out.contains(QStringLiteral("1 being written finish safely first")), qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("Not stopping the 1 screen(s) being written")), qPrintable(out));
        QVERIFY(startsWith(model(slot)->flash(), expectedFlash(before, testimages::upgradeTelvImage(30000))));
    }
}

void TestTavrikctl::stopSignalsNeverCutAWrite_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("writer");
    const std::pair<int, const char *> signals_[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
    for (const auto &[number, name] : signals_) {
        QTest::addRow("%s, telvtool writing", name) << number << QStringLiteral("telvtool");
        QTest::addRow("%s, output closed", name) << number << QStringLiteral("closed output");
    }
    QTest::newRow("SIGINT, eeprom writing") << int(SIGINT) << QStringLiteral("eeprom");
}

void TestTavrikctl::stopSignalsNeverCutAWrite()
{
    // The signal goes to tavrikctl's whole process group, as a terminal sends it.
    QFETCH(int, signal);
    QFETCH(QString, writer);
    const bool closed = writer == QLatin1String("closed output");
    const bool eeprom = writer == QLatin1String("eeprom");
    const int slot = closed ? attach("6.8in-telv", 1)
                     : eeprom ? attach("6.8in-k2t", 1, k2tBootLoader)
                              : attach("6.8in-telv", 1, telvBootLoader);
    Bytes block = closed || eeprom ? Bytes() : serveScreenBlock(slot, 0x4A);
    const Bytes before = model(slot)->flash();

    QProcess p;
    QProcess head; // `| head -1`: the reader is gone after the first line
    if (closed) {
        p.setStandardOutputProcess(&head);
        head.start(QStringLiteral("head"), {QStringLiteral("-n"), QStringLiteral("1")});
    }
    // A process group of its own, as a shell starts a job.
    p.setChildProcessModifier([] { ::setpgid(0, 0); });
    p.start(kProgram, {QStringLiteral("upgrade"), eeprom ? m_eepromFile : m_telvFile, QStringLiteral("--yes")});
    QVERIFY(p.waitForStarted(5000));
    const pid_t group = pid_t(p.processId());
    auto sent = std::make_shared<std::atomic<bool>>(false);
    if (closed) {
        QVERIFY(head.waitForFinished(20000));
        ::kill(-group, signal);
    } else {
        // In the middle of the tool's write.
        const uint8_t write = eeprom ? 0x60 : 0x52;
        auto writes = std::make_shared<std::atomic<int>>(0);
        model(slot)->setRequestFilter([=](const Setup &s, const uint8_t *, size_t) {
            if (s.request == write && ++*writes == 2) {
                ::kill(-group, signal);
                *sent = true;
            }
            return ScreenModel::FilterAction::Pass;
        });
    }
    QVERIFY(p.waitForFinished(90000));
    model(slot)->setRequestFilter({});
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    if (closed) {
        // Stopped before the write, or written whole; never left in between.
        QVERIFY2(p.exitCode() == 0 || p.exitCode() == 6, qPrintable(err));
        const Bytes expected = p.exitCode() == 0 ? expectedFlash(before, testimages::upgradeTelvImage(30000)) : before;
        QTRY_VERIFY_WITH_TIMEOUT(m_bus->plugged(slot) && model(slot)->mode() == Mode::Running, 10000);
        QVERIFY(!model(slot)->programming());
        QVERIFY(startsWith(model(slot)->flash(), expected));
        return;
    }
    QVERIFY(*sent);
    QCOMPARE(p.exitCode(), 0);
    QVERIFY2(out.contains(QStringLiteral(": done")), qPrintable(out + err));
    if (eeprom) {
        QVERIFY(model(slot)->config() == testimages::upgradeEepromImage());
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(m_bus->plugged(slot) && model(slot)->mode() == Mode::Running, 10000);
    block[8] = 0xFF;
    QVERIFY(std::equal(block.begin(), block.end(), model(slot)->flash().begin() + 0x1000));
}

void TestTavrikctl::toolsThatFailQuietlyHaveFailed_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("telvtool") << QStringLiteral("spinor");
    QTest::newRow("eeprom") << QStringLiteral("w");
}

void TestTavrikctl::toolsThatFailQuietlyHaveFailed()
{
    // Exit status 1, and no word of error in what the tool says.
    QFETCH(QString, command);
    const bool telv = command == QLatin1String("spinor");
    const int slot = telv ? attach("6.8in-telv", 1, telvBootLoader) : attach("6.8in-k2t", 1, k2tBootLoader);
    if (telv)
        serveScreenBlock(slot, 0x4B);
    const Bytes flash = model(slot)->flash();
    const Bytes config = model(slot)->config();
    qputenv("TAVRIK_TOOL_FAIL_QUIETLY", command.toUtf8());
    const Run r = run({QStringLiteral("upgrade"), telv ? m_telvFile : m_eepromFile, QStringLiteral("--yes")});
    QCOMPARE(r.exitCode, 5);
    QVERIFY2(r.err.contains(port(slot) + QStringLiteral(": FAILED: ")), qPrintable(describe(r)));
    QVERIFY(model(slot)->flash() == flash);
    QVERIFY(model(slot)->config() == config);
}

void TestTavrikctl::eepromToolGetsTheBytesThatWereChecked()
{
    const int slot = attach("6.8in-k2t", 1, k2tBootLoader);
    const QString file = m_dir.filePath(QStringLiteral("changing/7NDK2T.bin"));
    const Bytes checked = testimages::upgradeEepromImage();
    QVERIFY(writeFile(file, raw(checked)));
    const QDir tools(QFileInfo(kProgram).path());
    const QStringList handOvers = tools.entryList({QStringLiteral("firmware.local*")});
    QProcess p;
    p.start(kProgram, {QStringLiteral("upgrade"), file});
    QVERIFY(waitForOutput(p, QStringLiteral("[y/N]")));
    // Changed while the question waits for its answer.
    Bytes changed = checked;
    changed[0x100] ^= 0xFF;
    QVERIFY(writeFile(file, raw(changed)));
    p.write("y\n");
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(model(slot)->config() == checked);
    // The tool's copy is gone with the write.
    QCOMPARE(tools.entryList({QStringLiteral("firmware.local*")}), handOvers);
}

void TestTavrikctl::screensTextIsEscapedOnTheTerminal_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("list") << QStringLiteral("list");
    QTest::newRow("identify") << QStringLiteral("identify");
}

void TestTavrikctl::screensTextIsEscapedOnTheTerminal()
{
    // A lying screen: a terminal title, and a C1 control sequence in its version.
    QFETCH(QString, command);
    attach("6.8in-telv", 1,
           [](ScreenModel &m) { m.setIdent("TAVRIK-6.8INRGB\x1b]0;owned\x07,800x480,v0.18\xc2\x9b" "2J,T113-6D8"); });
    const Run r = run({command});
    QCOMPARE(r.exitCode, 0);
    for (const QChar c : r.out)
        QVERIFY2((c >= QChar(0x20) || c == QLatin1Char('\n')) && (c < QChar(0x7F) || c >= QChar(0xA0)),
                 qPrintable(QStringLiteral("control character %1 printed").arg(c.unicode(), 0, 16)));
    QVERIFY2(r.out.contains(QStringLiteral("v0.18\\x9b2J")), qPrintable(describe(r)));
    if (command == QLatin1String("identify"))
        QVERIFY(r.out.contains(QStringLiteral("TAVRIK-6.8INRGB\\x1b]0;owned\\x07,800x480")));
}

void TestTavrikctl::progressBarsOnATerminalPlainLinesElsewhere()
{
    attach("6.8in-k2t", 1);
    // `script` runs the program on a terminal of its own.
    const QString command = QStringLiteral("'%1' upgrade '%2' --yes").arg(kProgram, m_eepromFile);
    QProcess p;
    p.start(QStringLiteral("script"), {QStringLiteral("-q"), QStringLiteral("-e"), QStringLiteral("-c"), command,
                                       QStringLiteral("/dev/null")});
    QVERIFY(p.waitForFinished(60000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    QCOMPARE(p.exitCode(), 0);
    // The bar is redrawn in place: cursor up, line erased.
    QVERIFY2(out.contains(QStringLiteral("\x1b[2K")) && out.contains(QStringLiteral("\x1b[1A")), qPrintable(out));
    QVERIFY(out.contains(QStringLiteral("[##############################] 100%  done")));
}

QTEST_GUILESS_MAIN(TestTavrikctl)
#include "tst_tavrikctl.moc"
