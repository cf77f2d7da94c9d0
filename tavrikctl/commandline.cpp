#include "commandline.h"

#include "remembered.h"

#include <QColor>

#include <algorithm>
#include <array>
#include <vector>

namespace tavrikctl {

namespace {

struct CommandInfo {
    const char *name;
    const char *arguments; // the command's own, before the options
    const char *summary;   // one line
    const char *details;   // paragraphs, plain text
};

// The commands that act on screens chosen with --screen or --all.
constexpr char kScreenCommands[] = "list show fill backlight flip log led-test identify upgrade";
constexpr char kJsonCommands[] = "list show fill backlight flip log led-test identify upgrade monitor";

constexpr std::array<CommandInfo, 10> kCommands = {{
    {"list", "", "List every screen attached.",
     "Prints, for each screen: its port, USB ID, state (running, TELV boot loader, K2T/K5TX boot loader, "
     "monitor while a program of ours shows the desktop on it, or in use when another program holds it), model, panel size, device ID and firmware version. Screens in a boot "
     "loader, and screens in use, tell only their port and state: nothing is sent to a screen in use. With "
     "--screen only the screens named. With --json the same as one JSON object: {\"screens\": [{\"port\", \"bus\", "
     "\"port_number\", \"port_path\", \"usb_id\", \"state\", \"model\", \"identification\", \"panel\": {\"width\", "
     "\"height\"}, \"device_id\", \"firmware\"}]}; fields a screen cannot tell are null."},
    {"show", "PICTURE", "Show a picture file on the screens.",
     "The picture is centred on white at the panel's size, turned the right way up for the panel, and sent as "
     "one frame; the panel's own flip is set first where it has one."},
    {"fill", "COLOR", "Fill the screens with one colour.",
     "COLOR is a name (red, green, blue, black, white, or any SVG colour name) or #rrggbb."},
    {"backlight", "PERCENT", "Set the backlight, 0 to 100.", "100 is the full level the panel takes (255)."},
    {"flip", "[none|vertical|horizontal|both]", "Flip the picture, where the panel allows it.",
     "Without an argument the panel's own default is set. Panels that cannot flip refuse."},
    {"log", "[FILE|-]", "Copy the screen log of a debug firmware to FILE.",
     "FILE is screen.txt when not given; with several screens each gets FILE with its device ID before the "
     "extension. The file is written only when the whole log was read; an earlier file stays as it was otherwise. "
     "With - the log goes to standard output, of one screen only and without --json."},
    {"led-test", "", "Run the LED chase for N seconds (10 when not given).",
     "The chase stops after a whole step, with one LED channel lit; Ctrl-C stops it early."},
    {"identify", "", "Read what the screens say of themselves.",
     "Prints the identification text, the size and variant codes, the panel, the flip rules, the model's "
     "firmware file, the device ID and the firmware version."},
    {"upgrade", "[FIRMWARE]", "Write a firmware image to the screens.",
     "Without FIRMWARE each running screen gets its own model's file, looked for in the firmware folders: the "
     "one --firmware-dir names, $TAVRIK_FIRMWARE_DIR, the firmware folder beside tavrikctl's folder, then "
     "tavrik/firmware in each XDG data folder. The first that holds it is taken; when none does, every path "
     "looked at is named. A FIRMWARE "
     "given is refused for a screen of another model than the one it is made for (as what it holds tells, else "
     "its name), unless --any-model is given. The file is "
     "checked for each selected screen as the window checks it (its size, first byte and name); a file that "
     "fails for any screen stops everything before anything is written. Before writing, each screen must still "
     "be the one chosen (its device ID read again). A screen that holds the file's firmware already is left "
     "as it is (unchanged, exit 0) unless --reinstall is given. Running TELV screens keep their own screen "
     "block; K2T/K5TX screens keep their device ID unless they have none or --new-id is given, and a new one is "
     "named in the screen's result. Screens in a boot loader are written by the boot-loader tools next to "
     "tavrikctl (the TELV one's screen block comes from the firmware server). Everything written is read back. "
     "TELV screens are restarted afterwards, and are done only once they came back and told their new firmware "
     "version; K2T/K5TX screens run the new firmware once unplugged and plugged in again. Asks before it starts "
     "unless --yes is given (with --json, --yes or --dry-run is needed: the question would end up in the JSON). "
     "--dry-run checks the file against each screen, reads what each running screen holds and says which ones "
     "would be written and which are unchanged, writing nothing; a screen in a boot loader cannot be read and "
     "would be written. Screens are upgraded at the same time, each on its own; one failing does not stop the "
     "others. A screen in a boot loader is upgraded only when no other screen waits in the same boot loader, "
     "since its tool cannot be told which one to write; from the check until its tool has ended the port is "
     "this program's, and other programs list it in use. A boot-loader tool that writes longer than usual is "
     "waited for (keep the screen plugged in). Ctrl-C (as SIGTERM and a hang-up, and on Windows Ctrl-Break and "
     "closing the console) stops screens that have not started writing; screens being written finish safely "
     "first, and so do the boot-loader tools, which none of these reach. Windows ends a program about five "
     "seconds after its console is closed, whatever it does: closed during a write, tavrikctl holds on that "
     "long, saying that the write may be cut off. Ctrl-C at the question is a no."},
    {"monitor", "--auto DEVICE-ID [--mode extend|mirror] | --off DEVICE-ID | --list [--json]",
     "Show the desktop on a screen whenever it is plugged in.",
     "--auto remembers the screen with that device ID (in monitor.conf, with its mode: extend when not given) and "
     "--off forgets it; the per-user service tavrik-monitord, started at login, makes each remembered screen a "
     "display of the desktop whenever it is attached and no other program holds it, darkens it while the desktop "
     "sleeps or is locked, and lends it to panelctl and tavrikctl when they ask for it. --list prints each "
     "remembered screen's device ID, mode, state (showing, waiting, asleep, in-use, let-go, no-size; not-running when the service does not run) and port; with --json as {\"service\": "
     "\"running\"|\"not-running\", \"screens\": [{\"device_id\", \"mode\", \"state\", \"text\", "
     "\"port\"}]}. Opens no screen itself."},
}};

struct OptionInfo {
    const char *name;      // the long form
    const char *shortName; // empty when it has none
    const char *value;     // what it takes; empty when nothing
    const char *commands;  // those it belongs to; empty for every one
    const char *text;
};

constexpr std::array<OptionInfo, 18> kOptions = {{
    {"--screen", "", "PORT|DEVICE-ID", kScreenCommands,
     "Choose a screen by its port or device ID; may be given several times."},
    {"--all", "", "", kScreenCommands, "Choose every screen attached."},
    {"--json", "", "", kJsonCommands,
     "Print one JSON object on standard output (its fields: JSON OUTPUT in the manual page); progress and "
     "errors go to standard error."},
    {"--seconds", "", "N", "led-test", "How long the LED chase runs, 1 to 86400 seconds (10 when not given)."},
    {"--yes", "-y", "", "upgrade", "Do not ask before writing."},
    {"--dry-run", "", "", "upgrade",
     "Check the file and compare it with what each screen holds; write nothing."},
    {"--any-model", "", "", "upgrade", "Let another model's file of the same family through."},
    {"--reinstall", "", "", "upgrade", "Write even where the screen holds the file's firmware already."},
    {"--new-id", "", "", "upgrade", "Give each K2T/K5TX screen a new device ID, also one that has one."},
    {"--firmware-dir", "", "DIR", "upgrade",
     "Look for the models' firmware files in DIR first (before TAVRIK_FIRMWARE_DIR and the other folders)."},
    {"--auto", "", "DEVICE-ID", "monitor", "Remember the screen: it shows the desktop whenever it is plugged in."},
    {"--off", "", "DEVICE-ID", "monitor", "Forget the screen."},
    {"--mode", "", "extend|mirror", "monitor", "How a remembered screen shows the desktop (with --auto)."},
    {"--list", "", "", "monitor", "Print the remembered screens and what is done with each."},
    {"--quiet", "-q", "", "",
     "Print only errors and what the command is asked for (the list, identify's fields, the JSON, the log on "
     "standard output): no progress and no result lines."},
    {"--verbose", "-v", "", "", "Print the libraries' debug lines on standard error."},
    {"--help", "-h", "", "", "Print the help of the program or of the command."},
    {"--version", "", "", "", "Print tavrikctl's version."},
}};

struct ExitInfo {
    ExitCode code;
    const char *text;
};

constexpr std::array<ExitInfo, 7> kExitCodes = {{
    {Done, "Done on every selected screen; for an upgrade also where a screen held the file already (unchanged), "
           "and for --dry-run whatever it found."},
    {Usage, "Usage error: the command line is wrong, or a file or folder it names cannot be read (said before "
            "any screen is opened); a --screen that names several screens; several screens attached and none "
            "chosen; log - with several screens."},
    {NoScreen, "No screen is attached, or none matches a --screen (on every command, list too); the screens "
               "attached are listed."},
    {BadFirmware, "The firmware file fails its checks for a selected screen, or no firmware folder holds a "
                  "model's own file (every path looked at is named)."},
    {SomeFailed, "The job failed on some screens (the summary names them)."},
    {Interrupted, "Stopped by Ctrl-C, SIGTERM or a hang-up before every screen was done, or the question before "
                  "an upgrade was not answered yes."},
    {Incomplete, "An upgrade began writing a screen and could not finish, also after writing it all again: its "
                 "firmware is incomplete, so keep it plugged in and upgrade it again (one that restarted waits "
                 "in its boot loader and is upgraded from there). 7 wins over the others."},
}};

struct Entry {
    const char *term;
    const char *text;
};

constexpr std::array<Entry, 6> kEnvironment = {{
    {"TAVRIK_FIRMWARE_DIR",
     "A firmware folder looked in after --firmware-dir and before the one beside the program's folder."},
    {"XDG_DATA_HOME, XDG_DATA_DIRS",
     "tavrik/firmware in each of these data folders is looked in last, in that order (~/.local/share, then "
     "/usr/local/share and /usr/share when they are not set)."},
    {"XDG_CONFIG_HOME", "Where monitor.conf is kept (~/.config when not set)."},
    {"XDG_STATE_HOME",
     "Where the backlight level last set on each screen and the TELV screens' screen blocks are kept "
     "(~/.local/state when not set)."},
    {"TAVRIK_FIRMWARE_SERVER, TAVRIK_FIRMWARE_CA",
     "The firmware server (host[:port], reached over HTTPS) that gives a TELV screen in its boot loader its "
     "screen block, and a PEM file of further certificate authorities to trust for it."},
    {"QT_LOGGING_RULES",
     "The libraries' debug lines are off unless --verbose is given; rules set here win over --verbose and the "
     "default."},
}};

constexpr std::array<Entry, 8> kFiles = {{
    {"PROGRAM-FOLDER/../firmware",
     "The firmware folder beside the program's (TELV/TELV.6d8.TAVRIK.bin, K2T-K5TX/7NDK2T.bin, ...). A model's own "
     "file is looked for in the folder --firmware-dir names, then in $TAVRIK_FIRMWARE_DIR, then here, then in the "
     "two below."},
    {"$XDG_DATA_HOME/tavrik/firmware", "The user's firmware folder (~/.local/share/tavrik/firmware by default)."},
    {"$XDG_DATA_DIRS/tavrik/firmware",
     "The system's firmware folders (/usr/local/share/tavrik/firmware, then /usr/share/tavrik/firmware by "
     "default)."},
    {"PROGRAM-FOLDER/telvtool, PROGRAM-FOLDER/eeprom", "The screen maker's boot-loader tools."},
    {"$XDG_CONFIG_HOME/tavrik/monitor.conf", "The remembered screens and their modes."},
    {"$XDG_STATE_HOME/tavrik/backlight.conf", "The backlight level last set on each screen, by device ID."},
    {"$XDG_STATE_HOME/tavrik/screen-blocks",
     "Each TELV screen's screen block (its panel's calibration), kept before its flash is erased; an upgrade from "
     "the boot loader takes it from here before it asks the firmware server."},
    {"/usr/share/doc/tavrik-screen-tools/tavrikctl-output.schema.json", "The JSON schema of what --json prints."},
}};

constexpr std::array<Entry, 6> kExamples = {{
    {"tavrikctl list", "Every screen attached, with its port and device ID."},
    {"tavrikctl fill red --all", "Every running screen red."},
    {"tavrikctl backlight 60 --screen 1.4", "The screen at port 1.4 at 60 %."},
    {"tavrikctl upgrade --all --dry-run", "Which screens an upgrade with their models' own files would write."},
    {"tavrikctl upgrade --all --yes --json | jq -r '.screens[] | select(.outcome != \"changed\" and .outcome != "
     "\"unchanged\") | \"\\(.port) \\(.reason)\"'",
     "Upgrade every screen, then name those that do not run the new firmware, and why."},
    {"tavrikctl log - --screen 7c05-0f0a-1e2d0001 | grep -i error", "Search one screen's log."},
}};

const CommandInfo *findCommand(const QString &name)
{
    for (const CommandInfo &c : kCommands)
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

const OptionInfo *findOption(const QString &text)
{
    for (const OptionInfo &o : kOptions)
        if (text == QLatin1String(o.name) || (*o.shortName != '\0' && text == QLatin1String(o.shortName)))
            return &o;
    return nullptr;
}

QStringList words(const char *list)
{
    return QString::fromLatin1(list).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

bool belongsTo(const OptionInfo &o, const QString &command)
{
    return *o.commands == '\0' || words(o.commands).contains(command);
}

// How many single-letter edits (a letter added, left out or changed, or
// two swapped) turn `a` into `b`.
qsizetype editDistance(const QString &a, const QString &b)
{
    const size_t rows = size_t(a.size()) + 1;
    const size_t columns = size_t(b.size()) + 1;
    std::vector<qsizetype> d(rows * columns);
    const auto at = [&d, columns](size_t i, size_t j) -> qsizetype & { return d[i * columns + j]; };
    for (size_t i = 0; i < rows; ++i)
        at(i, 0) = qsizetype(i);
    for (size_t j = 0; j < columns; ++j)
        at(0, j) = qsizetype(j);
    for (size_t i = 1; i < rows; ++i) {
        for (size_t j = 1; j < columns; ++j) {
            const bool same = a[qsizetype(i) - 1] == b[qsizetype(j) - 1];
            at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + (same ? 0 : 1)});
            if (i > 1 && j > 1 && a[qsizetype(i) - 1] == b[qsizetype(j) - 2] && a[qsizetype(i) - 2] == b[qsizetype(j) - 1])
                at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
        }
    }
    return at(rows - 1, columns - 1);
}

// The known word closest to a mistyped one, when it is close enough to be
// what was meant: one slip in a short word, two in a longer one.
QString nearest(const QString &typed, const QStringList &known)
{
    QString best;
    qsizetype bestDistance = (typed.size() > 6 ? 2 : 1) + 1;
    for (const QString &k : known) {
        const qsizetype distance = editDistance(typed, k);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = k;
        }
    }
    return best;
}

QString unknown(const QString &what, const QString &typed, const QStringList &known)
{
    const QString close = nearest(typed, known);
    return close.isEmpty() ? QStringLiteral("unknown %1 %2").arg(what, typed)
                           : QStringLiteral("unknown %1 %2; did you mean %3?").arg(what, typed, close);
}

QString wrap(const QString &text, int indent, int width = 78)
{
    QString out;
    QString line;
    const QString pad(indent, QLatin1Char(' '));
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > width - indent) {
            out += pad + line + QLatin1Char('\n');
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!line.isEmpty())
        out += pad + line + QLatin1Char('\n');
    return out;
}

// Plain text as troff shows it: no escapes, no control lines, ASCII quotes
// and hyphens that can be copied into a shell.
QString troffEscape(QString text)
{
    text.replace(QLatin1Char('\\'), QLatin1String("\\e"));
    text.replace(QLatin1Char('-'), QLatin1String("\\-"));
    text.replace(QLatin1Char('\''), QLatin1String("\\(aq"));
    if (text.startsWith(QLatin1Char('.')))
        text.prepend(QLatin1String("\\&"));
    return text;
}

QString troff(const char *text)
{
    return troffEscape(QString::fromLatin1(text));
}

bool takeInt(const QString &text, int low, int high, int *out)
{
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    if (!ok || v < low || v > high)
        return false;
    *out = v;
    return true;
}

// "--screen PORT|DEVICE-ID", "-y, --yes"
QString optionTerm(const OptionInfo &o)
{
    QString term = QLatin1String(o.name);
    if (*o.shortName != '\0')
        term = QLatin1String(o.shortName) + QStringLiteral(", ") + term;
    if (*o.value != '\0')
        term += QLatin1Char(' ') + QLatin1String(o.value);
    return term;
}

// The options of a command line's synopsis: its own, then the screens'.
QString optionSynopsis(const CommandInfo &c)
{
    QStringList parts;
    for (const OptionInfo &o : kOptions) {
        if (*o.commands == '\0' || !belongsTo(o, QLatin1String(c.name)))
            continue;
        QString part = QLatin1String(o.name);
        if (*o.value != '\0')
            part += QLatin1Char(' ') + QLatin1String(o.value);
        part = QLatin1Char('[') + part + QLatin1Char(']');
        if (QLatin1String(o.name) == QLatin1String("--screen"))
            part += QStringLiteral("...");
        parts << part;
    }
    return parts.join(QLatin1Char(' '));
}

QString exitCodeText(int indent)
{
    QString out;
    for (const ExitInfo &e : kExitCodes) {
        const QString text = wrap(QString::fromLatin1(e.text), indent + 4);
        out += QString(indent, QLatin1Char(' ')) + QString::number(int(e.code)).leftJustified(4)
               + text.mid(indent + 4);
    }
    return out;
}

const char kSelection[] =
    "Screens are chosen with --screen PORT or --screen DEVICE-ID (PORT as PHY(1.4) or 1.4, or with the whole "
    "port path, as PHY(1.2.4) or 1.2.4, where two screens share a bus and a last port; the option may be "
    "given several times) or --all. Without either, the one screen attached is used; with several attached the "
    "command stops and lists them. A --screen that names no screen attached stops every command with exit "
    "status 3.";

const char kJson[] =
    "With --json, list, monitor --list and every command that acts on screens print one JSON object on standard "
    "output, {\"screens\": [...]}, with one object per screen chosen; those that act on screens add "
    "\"exit_code\" (the program's exit status). Each screen's object has \"port\", \"device_id\", \"model\", "
    "\"outcome\" (done, failed or stopped) and \"reason\" (why it was not done, else null), and the command's "
    "own fields: identify's \"identification\", \"screen_string\", \"size_code\", \"variant_code\", \"panel\" and "
    "\"picture\" ({\"width\", \"height\"}), \"flip_allowed\", \"flip_default\", \"firmware_file\" and "
    "\"firmware\"; show's \"picture_file\"; fill's \"color\"; backlight's \"percent\"; flip's \"flip\"; "
    "led-test's \"seconds\"; log's \"path\" and \"bytes\". upgrade's objects have \"port\", "
    "\"device_id_before\", \"device_id_after\", \"model\", \"file\", \"outcome\" (changed, unchanged, "
    "would-write, failed, incomplete, stopped or refused), \"reason\", \"firmware_before\", \"firmware_after\", "
    "\"block_source\" (screen, saved, server or null), \"replug\" (it runs the new firmware once plugged in "
    "again) and \"dry_run\" beside \"exit_code\". Fields a screen cannot tell are null. Nothing is printed on "
    "standard output on exit status 2 or 3, and progress and errors go to standard error. The fields are kept "
    "from one version to the next: fields are only ever added, and a field whose meaning changes gets a new "
    "name. The JSON schema of every command's output is installed as tavrikctl-output.schema.json (see FILES).";

} // namespace

bool logToStandardOutput(const Command &command)
{
    return command.name == QLatin1String("log") && command.arguments.value(0) == QLatin1String("-");
}

QString versionText()
{
    return QStringLiteral("tavrikctl %1").arg(QLatin1String(TAVRIK_VERSION));
}

Parsed parseCommandLine(const QStringList &arguments)
{
    Parsed parsed;
    Command c;
    const auto fail = [&parsed](const QString &why) {
        parsed.error = why;
        return parsed;
    };
    QStringList given; // the long forms, in order
    QStringList knownOptions;
    for (const OptionInfo &o : kOptions)
        knownOptions << QLatin1String(o.name);
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        // "-" is an argument (log's standard output), as are negative numbers.
        const bool option = a.startsWith(QLatin1String("--")) || (a.size() > 1 && a[0] == QLatin1Char('-') && a[1].isLetter());
        if (!option) {
            if (c.name.isEmpty())
                c.name = a;
            else
                c.arguments << a;
            continue;
        }
        const bool inline_ = a.startsWith(QLatin1String("--")) && a.contains(QLatin1Char('='));
        const QString key = inline_ ? a.section(QLatin1Char('='), 0, 0) : a;
        const OptionInfo *o = findOption(key);
        if (!o)
            return fail(unknown(QStringLiteral("option"), key, knownOptions));
        const QString name = QLatin1String(o->name);
        QString v;
        if (*o->value != '\0') {
            if (inline_)
                v = a.section(QLatin1Char('='), 1);
            else if (i + 1 < arguments.size())
                v = arguments[++i];
            else
                return fail(QStringLiteral("%1 needs %2").arg(name, QLatin1String(o->value)));
        } else if (inline_) {
            return fail(QStringLiteral("%1 takes no value").arg(name));
        }
        given << name;
        if (name == QLatin1String("--help"))
            c.help = true;
        else if (name == QLatin1String("--version"))
            c.version = true;
        else if (name == QLatin1String("--quiet"))
            c.quiet = true;
        else if (name == QLatin1String("--verbose"))
            c.verbose = true;
        else if (name == QLatin1String("--all"))
            c.all = true;
        else if (name == QLatin1String("--json"))
            c.json = true;
        else if (name == QLatin1String("--yes"))
            c.yes = true;
        else if (name == QLatin1String("--dry-run"))
            c.dryRun = true;
        else if (name == QLatin1String("--any-model"))
            c.anyModel = true;
        else if (name == QLatin1String("--reinstall"))
            c.reinstall = true;
        else if (name == QLatin1String("--new-id"))
            c.newId = true;
        else if (name == QLatin1String("--list"))
            c.listMonitor = true;
        else if (name == QLatin1String("--screen"))
            c.screens << v;
        else if (name == QLatin1String("--firmware-dir"))
            c.firmwareDir = v;
        else if (name == QLatin1String("--auto"))
            c.autoId = v;
        else if (name == QLatin1String("--off"))
            c.offId = v;
        else if (name == QLatin1String("--mode"))
            c.mode = v;
        else if (name == QLatin1String("--seconds") && !takeInt(v, 1, 86400, &c.seconds))
            return fail(QStringLiteral("--seconds needs a number from 1 to 86400"));
    }
    if (c.name == QLatin1String("help")) { // "tavrikctl help [COMMAND]"
        c.help = true;
        c.name = c.arguments.value(0);
        c.arguments.clear();
    }
    if (!c.name.isEmpty() && !findCommand(c.name)) {
        QStringList names;
        for (const CommandInfo &k : kCommands)
            names << QLatin1String(k.name);
        return fail(unknown(QStringLiteral("command"), c.name, names));
    }
    if (c.help || c.version) {
        parsed.command = c;
        return parsed;
    }
    if (c.name.isEmpty())
        return fail(QStringLiteral("no command given"));
    if (c.quiet && c.verbose)
        return fail(QStringLiteral("--quiet and --verbose exclude each other"));
    if (c.all && !c.screens.isEmpty())
        return fail(QStringLiteral("--all and --screen exclude each other"));
    const QString &n = c.name;
    const bool monitor = n == QLatin1String("monitor");
    if (monitor && (!c.screens.isEmpty() || c.all))
        return fail(QStringLiteral("monitor names its screen by device ID, not with --screen or --all"));
    for (const QString &name : given) {
        const OptionInfo *o = findOption(name);
        if (!belongsTo(*o, n))
            return fail(QStringLiteral("%1 belongs to %2, not to %3")
                            .arg(name, words(o->commands).join(QStringLiteral(", ")), n));
    }
    // How many arguments each command takes.
    const qsizetype count = c.arguments.size();
    const bool one = n == QLatin1String("show") || n == QLatin1String("fill") || n == QLatin1String("backlight");
    const bool optional = n == QLatin1String("flip") || n == QLatin1String("log") || n == QLatin1String("upgrade");
    if ((one && count != 1) || (optional && count > 1) || (!one && !optional && count != 0)) {
        return fail(QStringLiteral("%1 takes %2").arg(n, one ? QStringLiteral("one argument")
                                                         : optional ? QStringLiteral("at most one argument")
                                                                    : QStringLiteral("no argument")));
    }
    if (n == QLatin1String("backlight") && !takeInt(c.arguments[0], 0, 100, &c.percent))
        return fail(QStringLiteral("backlight takes a percentage from 0 to 100"));
    if (n == QLatin1String("flip") && count == 1
        && !QStringList{"none", "vertical", "horizontal", "both"}.contains(c.arguments[0]))
        return fail(QStringLiteral("flip takes none, vertical, horizontal or both"));
    // Before any screen is opened: a typo must not leave a screen half done.
    if (n == QLatin1String("fill") && !QColor::fromString(c.arguments[0]).isValid())
        return fail(QStringLiteral("%1 is no colour: name one (red, navy, ...) or give #rrggbb").arg(c.arguments[0]));
    if (logToStandardOutput(c) && c.json)
        return fail(QStringLiteral("log - writes the log to standard output, where --json would write too"));
    if (n == QLatin1String("upgrade") && c.json && !c.yes && !c.dryRun)
        return fail(QStringLiteral("upgrade --json asks nothing: give --yes (or --dry-run)"));
    if (monitor && c.json && !c.listMonitor)
        return fail(QStringLiteral("--json goes with monitor --list"));
    if (monitor && int(!c.autoId.isEmpty()) + int(!c.offId.isEmpty()) + int(c.listMonitor) != 1)
        return fail(QStringLiteral("monitor takes one of --auto, --off and --list"));
    if (!c.mode.isEmpty() && (c.autoId.isEmpty() || !session::parseMode(c.mode)))
        return fail(QStringLiteral("--mode goes with --auto and is extend or mirror"));
    for (const QString &id : {c.autoId, c.offId}) {
        if (!id.isEmpty() && !session::isDeviceId(id))
            return fail(QStringLiteral("%1 is not a device ID (like 7e0c-0b02-1c2200f1)").arg(id));
    }
    parsed.command = c;
    return parsed;
}

QString helpText(const QString &command)
{
    if (const CommandInfo *c = findCommand(command)) {
        const QString synopsis = QStringList{QLatin1String(c->arguments), optionSynopsis(*c)}.join(QLatin1Char(' '));
        QString out = wrap(QStringLiteral("Usage: tavrikctl %1 %2").arg(QLatin1String(c->name), synopsis.trimmed()), 0)
                      + QLatin1Char('\n');
        out += wrap(QString::fromLatin1(c->summary) + QLatin1Char(' ') + QString::fromLatin1(c->details), 0);
        out += QStringLiteral("\nOptions:\n");
        for (const OptionInfo &o : kOptions)
            if (belongsTo(o, QLatin1String(c->name)) && QLatin1String(o.name) != QLatin1String("--version"))
                out += QStringLiteral("  %1\n").arg(optionTerm(o)) + wrap(QString::fromLatin1(o.text), 6);
        if (words(kScreenCommands).contains(QLatin1String(c->name)))
            out += QLatin1Char('\n') + wrap(QString::fromLatin1(kSelection), 0);
        return out;
    }
    QString out = QStringLiteral("Usage: tavrikctl COMMAND [ARGUMENTS] [--screen PORT|DEVICE-ID]... [--all] [--json]\n"
                                 "       [-q|-v]\n\n"
                                 "Drives Tavrik USB screens from a terminal or a script, many at once.\n\n"
                                 "Commands:\n");
    for (const CommandInfo &c : kCommands)
        out += QStringLiteral("  %1%2\n").arg(QString::fromLatin1(c.name).leftJustified(11), QLatin1String(c.summary));
    out += QStringLiteral("\nOptions of every command:\n");
    for (const OptionInfo &o : kOptions)
        if (*o.commands == '\0')
            out += QStringLiteral("  %1\n").arg(optionTerm(o)) + wrap(QString::fromLatin1(o.text), 6);
    out += QStringLiteral("\n") + wrap(QString::fromLatin1(kSelection), 0);
    out += QStringLiteral("\n'tavrikctl COMMAND --help' tells more of a command and its options.\n\nExit codes:\n");
    out += exitCodeText(2);
    return out;
}

QString manualPage()
{
    QString m = QStringLiteral(".TH TAVRIKCTL 1 \"\" \"tavrikctl %1\" \"Tavrik screen tools\"\n"
                               ".SH NAME\ntavrikctl \\- drive Tavrik USB screens from a terminal\n"
                               ".SH SYNOPSIS\n.B tavrikctl\n.I command\n[\\fIarguments\\fR] "
                               "[\\fB\\-\\-screen\\fR \\fIPORT\\fR|\\fIDEVICE\\-ID\\fR]... [\\fB\\-\\-all\\fR] "
                               "[\\fB\\-\\-json\\fR] [\\fB\\-q\\fR|\\fB\\-v\\fR]\n.br\n"
                               ".B tavrikctl \\-\\-help\\fR|\\fB\\-\\-version\n"
                               ".SH DESCRIPTION\nDrives Tavrik USB screens from a terminal or a script, many at once.\n"
                               ".SH COMMANDS\n")
                    .arg(troffEscape(QLatin1String(TAVRIK_VERSION)));
    for (const CommandInfo &c : kCommands) {
        const QString synopsis = QStringList{QLatin1String(c.arguments), optionSynopsis(c)}.join(QLatin1Char(' '));
        m += QStringLiteral(".TP\n.B %1 %2\n%3 %4\n")
                 .arg(troffEscape(QLatin1String(c.name)), troffEscape(synopsis.trimmed()), troff(c.summary),
                      troff(c.details));
    }
    m += QStringLiteral(".SH OPTIONS\n");
    for (const OptionInfo &o : kOptions) {
        const QString where = *o.commands == '\0'
                                  ? QString()
                                  : QStringLiteral(" (%1)").arg(words(o.commands).join(QStringLiteral(", ")));
        m += QStringLiteral(".TP\n.B %1\n%2%3\n").arg(troffEscape(optionTerm(o)), troff(o.text), troffEscape(where));
    }
    m += QStringLiteral(".SH SELECTING SCREENS\n") + troff(kSelection) + QLatin1Char('\n');
    m += QStringLiteral(".SH JSON OUTPUT\n") + troff(kJson) + QLatin1Char('\n');
    m += QStringLiteral(".SH ENVIRONMENT\n");
    for (const Entry &e : kEnvironment)
        m += QStringLiteral(".TP\n.B %1\n%2\n").arg(troff(e.term), troff(e.text));
    m += QStringLiteral(".SH FILES\n");
    for (const Entry &e : kFiles)
        m += QStringLiteral(".TP\n.I %1\n%2\n").arg(troff(e.term), troff(e.text));
    m += QStringLiteral(".SH EXIT STATUS\n");
    for (const ExitInfo &e : kExitCodes)
        m += QStringLiteral(".TP\n.B %1\n%2\n").arg(int(e.code)).arg(troff(e.text));
    m += QStringLiteral(".SH EXAMPLES\n");
    for (const Entry &e : kExamples)
        m += QStringLiteral(".PP\n%1\n.PP\n.RS\n.nf\n$ %2\n.fi\n.RE\n").arg(troff(e.text), troff(e.term));
    m += QStringLiteral(".SH SEE ALSO\n.BR panelctl (1),\n.BR spanmon (1),\n.BR logomerge (1)\n");
    return m;
}

QString bashCompletion()
{
    QStringList names;
    QString cases;
    QStringList valued;
    for (const OptionInfo &o : kOptions)
        if (*o.value != '\0')
            valued << QLatin1String(o.name);
    for (const CommandInfo &c : kCommands) {
        names << QLatin1String(c.name);
        QStringList own;
        QStringList every;
        for (const OptionInfo &o : kOptions) {
            if (!belongsTo(o, QLatin1String(c.name)) || QLatin1String(o.name) == QLatin1String("--version"))
                continue;
            (*o.commands == '\0' ? every : own) << QLatin1String(o.name);
        }
        cases += QStringLiteral("    %1) opts=\"%2\" ;;\n").arg(QLatin1String(c.name), (own + every).join(QLatin1Char(' ')));
    }
    return QStringLiteral("# bash completion for tavrikctl\n"
                          "_tavrikctl() {\n"
                          "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} cmd=\"\" opts i\n"
                          "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
                          "    case ${COMP_WORDS[i]} in\n"
                          "      %3) ((i++)) ;;\n"
                          "      -*) ;;\n"
                          "      *) cmd=${COMP_WORDS[i]}; break ;;\n"
                          "    esac\n"
                          "  done\n"
                          "  case $prev in\n"
                          "    --firmware-dir) COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n"
                          "    --mode) COMPREPLY=($(compgen -W \"extend mirror\" -- \"$cur\")); return ;;\n"
                          "    %3) return ;;\n"
                          "  esac\n"
                          "  if [ -z \"$cmd\" ]; then\n"
                          "    COMPREPLY=($(compgen -W \"%1 help --help --version\" -- \"$cur\"))\n"
                          "    return\n"
                          "  fi\n"
                          "  case $cmd in\n%2"
                          "    *) opts=\"--help\" ;;\n"
                          "  esac\n"
                          "  case $prev in\n"
                          "    upgrade|show|log) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
                          "    flip) COMPREPLY=($(compgen -W \"none vertical horizontal both\" -- \"$cur\")); return ;;\n"
                          "  esac\n"
                          "  COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
                          "}\n"
                          "complete -F _tavrikctl tavrikctl\n")
        .arg(names.join(QLatin1Char(' ')), cases, valued.join(QLatin1Char('|')));
}

} // namespace tavrikctl
