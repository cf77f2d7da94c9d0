#include "commandline.h"

#include "remembered.h"

#include <QRegularExpression>

#include <array>

namespace tavrikctl {

namespace {

struct CommandInfo {
    const char *name;
    const char *synopsis; // after "tavrikctl NAME"
    const char *summary;  // one line
    const char *details;  // paragraphs, plain text
    const char *options;  // the command's own options, for completion
};

constexpr std::array<CommandInfo, 10> kCommands = {{
    {"list", "[--json]", "List every screen attached.",
     "Prints, for each screen: its port, USB ID, state (running, TELV boot loader, K2T/K5TX boot loader, or in "
     "use when another program holds it), model, panel size, device ID and firmware version. Screens in a boot "
     "loader, and screens in use, tell only their port and state: nothing is sent to a screen in use. With "
     "--json the same as one JSON object: {\"screens\": [{\"port\", \"bus\", \"port_number\", \"port_path\", "
     "\"usb_id\", \"state\", \"model\", \"identification\", \"panel\": {\"width\", \"height\"}, \"device_id\", "
     "\"firmware\"}]}; fields a screen cannot tell are null.",
     "--json"},
    {"show", "PICTURE", "Show a picture file on the screens.",
     "The picture is centred on white at the panel's size, turned the right way up for the panel, and sent as "
     "one frame; the panel's own flip is set first where it has one.",
     ""},
    {"fill", "COLOR", "Fill the screens with one colour.",
     "COLOR is a name (red, green, blue, black, white, or any SVG colour name) or #rrggbb.", ""},
    {"backlight", "PERCENT", "Set the backlight, 0 to 100.", "100 is the full level the panel takes (255).", ""},
    {"flip", "[none|vertical|horizontal|both]", "Flip the picture, where the panel allows it.",
     "Without an argument the panel's own default is set. Panels that cannot flip refuse.", ""},
    {"log", "[FILE]", "Copy the screen log of a debug firmware to FILE.",
     "FILE is screen.txt when not given; with several screens each gets FILE with its device ID before the "
     "extension. The file is written only when the whole log was read; an earlier file stays as it was otherwise.",
     ""},
    {"led-test", "[--seconds N]", "Run the LED chase for N seconds (10 when not given).",
     "The chase stops after a whole step, with one LED channel lit; Ctrl-C stops it early.", "--seconds"},
    {"identify", "", "Read what the screens say of themselves.",
     "Prints the identification text, the size and variant codes, the panel, the flip rules, the model's "
     "firmware file, the device ID and the firmware version.",
     ""},
    {"upgrade", "[FIRMWARE] [--any-model] [--yes] [--dry-run]", "Write a firmware image to the screens.",
     "Without FIRMWARE each running screen gets its own model's file from the firmware folder beside "
     "tavrikctl's folder, as the window offers it. A FIRMWARE given is refused for a screen whose model takes "
     "another file, unless --any-model is given. The file is checked for each selected screen as the window "
     "checks it (its size, first byte and name); a file that fails for any screen stops everything before "
     "anything is written. Before writing, each screen must still be the one chosen (its device ID read "
     "again). Running TELV screens keep "
     "their own screen block, K2T/K5TX screens get a new device ID, screens in a boot loader are written by "
     "the boot-loader tools next to tavrikctl (the TELV one's screen block comes from the firmware server). "
     "Everything written is read back. TELV screens are restarted afterwards, and are done only once they came "
     "back and told their new firmware version; K2T/K5TX screens run the new firmware once unplugged and "
     "plugged in again. Asks before it starts unless --yes is given; --dry-run "
     "checks the file against each screen and says what would happen, writing nothing. Screens are upgraded at "
     "the same time, each on its own; one failing does not stop the others. A screen in a boot loader is "
     "upgraded only when no other screen waits in the same boot loader, since its tool cannot be told which "
     "one to write; from the check until its tool has ended the port is this program's, and other programs "
     "list it in use. A boot-loader tool that writes longer than usual is waited for (keep the screen "
     "plugged in). Ctrl-C (as SIGTERM and a hang-up, "
     "and on Windows Ctrl-Break and closing the console) stops screens that have not started writing; screens "
     "being written finish safely first, and so do the boot-loader tools, which none of these reach. Windows "
     "ends a program about five seconds after its console is closed, whatever it does: closed during a write, "
     "tavrikctl holds on that long, saying that the write may be cut off. Ctrl-C at the question is a no.",
     "--any-model --yes --dry-run"},
    {"monitor", "--auto DEVICE-ID [--mode extend|mirror] | --off DEVICE-ID | --list [--json]",
     "Show the desktop on a screen whenever it is plugged in.",
     "--auto remembers the screen with that device ID (in monitor.conf, with its mode: extend when not given) and "
     "--off forgets it; the per-user service tavrik-monitord, started at login, makes each remembered screen a "
     "display of the desktop whenever it is attached and no other program holds it, darkens it while the desktop "
     "sleeps or is locked, and lends it to panelctl and tavrikctl when they ask for it. --list prints each "
     "remembered screen's device ID, mode, state (showing, waiting, asleep, in-use, let-go, one-at-a-time, "
     "no-size; not-running when the service does not run) and port; with --json as {\"service\": "
     "\"running\"|\"not-running\", \"screens\": [{\"device_id\", \"mode\", \"state\", \"text\", "
     "\"port\"}]}. Opens no screen itself.",
     "--auto --off --mode --list --json"},
}};

const CommandInfo *findCommand(const QString &name)
{
    for (const CommandInfo &c : kCommands)
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

const char kSelection[] =
    "Screens are chosen with --screen PORT or --screen DEVICE-ID (PORT as PHY(1.4) or 1.4, or with the whole "
    "port path, as PHY(1.2.4) or 1.2.4, where two screens share a bus and a last port; the option may be "
    "given several times) or --all. Without either, the one screen attached is used; with several attached the "
    "command stops and lists them.";

const char kExitCodes[] = "0 done on every screen; 2 usage error (a file the command names cannot be read, too), "
                          "or screens to choose from; 3 no screen attached or none matches; 4 the firmware file "
                          "fails its checks; 5 the job failed on some screens; 6 stopped by Ctrl-C, SIGTERM or a "
                          "hang-up before every screen was done; 7 an upgrade began writing a screen and could not "
                          "finish, also after writing it all again: its firmware is incomplete, so keep it plugged in "
                          "and upgrade it again (one that restarted waits in its boot loader and is upgraded from "
                          "there). 7 wins over the others.";

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

QString troffEscape(QString text)
{
    text.replace(QLatin1Char('\\'), QLatin1String("\\e"));
    text.replace(QLatin1Char('-'), QLatin1String("\\-"));
    return text;
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

} // namespace

Parsed parseCommandLine(const QStringList &arguments)
{
    Parsed parsed;
    Command c;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString a = arguments[i];
        const auto value = [&](QString *out) {
            if (i + 1 >= arguments.size())
                return false;
            *out = arguments[++i];
            return true;
        };
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            c.help = true;
        } else if (a == QLatin1String("--all")) {
            c.all = true;
        } else if (a == QLatin1String("--json")) {
            c.json = true;
        } else if (a == QLatin1String("--yes") || a == QLatin1String("-y")) {
            c.yes = true;
        } else if (a == QLatin1String("--dry-run")) {
            c.dryRun = true;
        } else if (a == QLatin1String("--any-model")) {
            c.anyModel = true;
        } else if (a == QLatin1String("--screen") || a.startsWith(QLatin1String("--screen="))) {
            QString v = a.section(QLatin1Char('='), 1);
            if (!a.contains(QLatin1Char('=')) && !value(&v)) {
                parsed.error = QStringLiteral("--screen needs a port or a device ID");
                return parsed;
            }
            c.screens << v;
        } else if (a == QLatin1String("--seconds") || a.startsWith(QLatin1String("--seconds="))) {
            QString v = a.section(QLatin1Char('='), 1);
            if ((!a.contains(QLatin1Char('=')) && !value(&v)) || !takeInt(v, 1, 86400, &c.seconds)) {
                parsed.error = QStringLiteral("--seconds needs a number from 1 to 86400");
                return parsed;
            }
        } else if (a == QLatin1String("--auto") || a == QLatin1String("--off") || a == QLatin1String("--mode")) {
            QString v;
            if (!value(&v)) {
                parsed.error = QStringLiteral("%1 needs a value").arg(a);
                return parsed;
            }
            (a == QLatin1String("--auto") ? c.autoId : a == QLatin1String("--off") ? c.offId : c.mode) = v;
        } else if (a == QLatin1String("--list")) {
            c.listMonitor = true;
        } else if (a.startsWith(QLatin1String("--"))) {
            parsed.error = QStringLiteral("unknown option %1").arg(a);
            return parsed;
        } else if (c.name.isEmpty()) {
            c.name = a;
        } else {
            c.arguments << a;
        }
    }
    if (c.name == QLatin1String("help")) { // "tavrikctl help [COMMAND]"
        c.help = true;
        c.name = c.arguments.value(0);
        c.arguments.clear();
    }
    if (!c.name.isEmpty() && !findCommand(c.name)) {
        parsed.error = QStringLiteral("unknown command %1").arg(c.name);
        return parsed;
    }
    if (c.help) {
        parsed.command = c;
        return parsed;
    }
    if (c.name.isEmpty()) {
        parsed.error = QStringLiteral("no command given");
        return parsed;
    }
    if (c.all && !c.screens.isEmpty()) {
        parsed.error = QStringLiteral("--all and --screen exclude each other");
        return parsed;
    }
    // How many arguments each command takes.
    const QString &n = c.name;
    const qsizetype count = c.arguments.size();
    const bool one = n == QLatin1String("show") || n == QLatin1String("fill") || n == QLatin1String("backlight");
    const bool optional = n == QLatin1String("flip") || n == QLatin1String("log") || n == QLatin1String("upgrade");
    if ((one && count != 1) || (optional && count > 1) || (!one && !optional && count != 0)) {
        parsed.error = QStringLiteral("%1 takes %2").arg(n, one ? QStringLiteral("one argument")
                                                           : optional ? QStringLiteral("at most one argument")
                                                                      : QStringLiteral("no argument"));
        return parsed;
    }
    if (n == QLatin1String("backlight") && !takeInt(c.arguments[0], 0, 100, &c.percent)) {
        parsed.error = QStringLiteral("backlight takes a percentage from 0 to 100");
        return parsed;
    }
    if (n == QLatin1String("flip") && count == 1
        && !QStringList{"none", "vertical", "horizontal", "both"}.contains(c.arguments[0])) {
        parsed.error = QStringLiteral("flip takes none, vertical, horizontal or both");
        return parsed;
    }
    if ((c.yes || c.dryRun || c.anyModel) && n != QLatin1String("upgrade")) {
        parsed.error = QStringLiteral("--yes, --dry-run and --any-model belong to upgrade");
        return parsed;
    }
    const bool monitor = n == QLatin1String("monitor");
    if (c.json && n != QLatin1String("list") && !(monitor && c.listMonitor)) {
        parsed.error = QStringLiteral("--json belongs to list and monitor --list");
        return parsed;
    }
    const bool monitorOption = !c.autoId.isEmpty() || !c.offId.isEmpty() || !c.mode.isEmpty() || c.listMonitor;
    if (monitorOption != monitor
        || (monitor && int(!c.autoId.isEmpty()) + int(!c.offId.isEmpty()) + int(c.listMonitor) != 1)) {
        parsed.error = QStringLiteral("monitor takes one of --auto, --off and --list; they belong to it alone");
        return parsed;
    }
    if (monitor && (!c.screens.isEmpty() || c.all)) {
        parsed.error = QStringLiteral("monitor names its screen by device ID, not with --screen or --all");
        return parsed;
    }
    if (!c.mode.isEmpty() && (c.autoId.isEmpty() || !session::parseMode(c.mode))) {
        parsed.error = QStringLiteral("--mode goes with --auto and is extend or mirror");
        return parsed;
    }
    for (const QString &id : {c.autoId, c.offId}) {
        if (!id.isEmpty() && !session::isDeviceId(id)) {
            parsed.error = QStringLiteral("%1 is not a device ID (like 7e0c-0b02-1c2200f1)").arg(id);
            return parsed;
        }
    }
    parsed.command = c;
    return parsed;
}

QString helpText(const QString &command)
{
    if (const CommandInfo *c = findCommand(command)) {
        QString out = QStringLiteral("Usage: tavrikctl %1 %2 [--screen PORT|DEVICE-ID]... [--all]\n\n")
                          .arg(QLatin1String(c->name), QLatin1String(c->synopsis));
        out += wrap(QString::fromLatin1(c->summary) + QLatin1Char(' ') + QString::fromLatin1(c->details), 0);
        out += QLatin1Char('\n') + wrap(QString::fromLatin1(kSelection), 0);
        return out;
    }
    QString out = QStringLiteral("Usage: tavrikctl COMMAND [ARGUMENTS] [--screen PORT|DEVICE-ID]... [--all]\n\n"
                                 "Drives Tavrik USB screens from a terminal or a script, many at once.\n\n"
                                 "Commands:\n");
    for (const CommandInfo &c : kCommands)
        out += QStringLiteral("  %1%2\n").arg(QString::fromLatin1(c.name).leftJustified(11), QLatin1String(c.summary));
    out += QStringLiteral("\n") + wrap(QString::fromLatin1(kSelection), 0);
    out += QStringLiteral("\n'tavrikctl COMMAND --help' tells more of a command.\n\nExit codes:\n");
    out += wrap(QString::fromLatin1(kExitCodes), 2);
    return out;
}

QString manualPage()
{
    QString m = QStringLiteral(".TH TAVRIKCTL 1 \"\" \"Tavrik screen tools\"\n"
                               ".SH NAME\ntavrikctl \\- drive Tavrik USB screens from a terminal\n"
                               ".SH SYNOPSIS\n.B tavrikctl\n.I command\n[\\fIarguments\\fR] "
                               "[\\fB\\-\\-screen\\fR \\fIPORT\\fR|\\fIDEVICE\\-ID\\fR]... [\\fB\\-\\-all\\fR]\n"
                               ".SH DESCRIPTION\nDrives Tavrik USB screens from a terminal or a script, many at once.\n"
                               ".SH COMMANDS\n");
    for (const CommandInfo &c : kCommands) {
        m += QStringLiteral(".TP\n.B %1 %2\n%3 %4\n")
                 .arg(troffEscape(QLatin1String(c.name)), troffEscape(QLatin1String(c.synopsis)),
                      troffEscape(QLatin1String(c.summary)), troffEscape(QLatin1String(c.details)));
    }
    m += QStringLiteral(".SH SELECTING SCREENS\n") + troffEscape(QString::fromLatin1(kSelection)) + QLatin1Char('\n');
    m += QStringLiteral(".SH EXIT STATUS\n") + troffEscape(QString::fromLatin1(kExitCodes)) + QLatin1Char('\n');
    m += QStringLiteral(".SH SEE ALSO\n.BR panelctl (1),\n.BR spanmon (1)\n");
    return m;
}

QString bashCompletion()
{
    QStringList names;
    QString cases;
    for (const CommandInfo &c : kCommands) {
        names << QLatin1String(c.name);
        cases += QStringLiteral("    %1) opts=\"%2 --screen --all --help\" ;;\n")
                     .arg(QLatin1String(c.name), QLatin1String(c.options));
    }
    return QStringLiteral("# bash completion for tavrikctl\n"
                          "_tavrikctl() {\n"
                          "  local cur=${COMP_WORDS[COMP_CWORD]} cmd=\"\" opts i\n"
                          "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
                          "    case ${COMP_WORDS[i]} in -*) ;; *) cmd=${COMP_WORDS[i]}; break ;; esac\n"
                          "  done\n"
                          "  if [ -z \"$cmd\" ]; then\n"
                          "    COMPREPLY=($(compgen -W \"%1 help --help\" -- \"$cur\"))\n"
                          "    return\n"
                          "  fi\n"
                          "  case $cmd in\n%2"
                          "    *) opts=\"--help\" ;;\n"
                          "  esac\n"
                          "  case ${COMP_WORDS[COMP_CWORD - 1]} in\n"
                          "    upgrade|show|log) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
                          "    flip) COMPREPLY=($(compgen -W \"none vertical horizontal both\" -- \"$cur\")); return ;;\n"
                          "  esac\n"
                          "  COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
                          "}\n"
                          "complete -F _tavrikctl tavrikctl\n")
        .arg(names.join(QLatin1Char(' ')), cases);
}

} // namespace tavrikctl
