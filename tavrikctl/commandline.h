#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What the user asked for on the command line, and the texts that explain
// it: the same table gives --help, the manual page and the shell's
// completion.
namespace tavrikctl {

// Exit codes, documented in --help and the manual page.
enum ExitCode {
    Done = 0,
    Usage = 2,        // the command line is wrong, or names screens ambiguously
    NoScreen = 3,     // no screen attached, or none matches the selection
    BadFirmware = 4,  // the firmware file fails its checks for a selected screen
    SomeFailed = 5,   // the job failed on at least one screen
    Interrupted = 6,  // stopped by the user before every screen was done
    Incomplete = 7,   // an upgrade left a screen's firmware incomplete: upgrade it again
};

struct Command {
    QString name;            // list, show, fill, backlight, flip, log, led-test, identify, upgrade, monitor
    QStringList arguments;   // the command's own, in order
    QStringList screens;     // --screen values, in order
    bool all = false;
    bool json = false;
    bool yes = false;
    bool dryRun = false;
    bool anyModel = false;   // upgrade: another model's file of the family is let through
    bool reinstall = false;  // upgrade: written even where the screen holds the file already
    bool newId = false;      // upgrade: a K2T/K5TX screen gets a new device ID even when it has one
    QString firmwareDir;     // upgrade: looked in first for each model's file
    int seconds = 10;        // led-test
    int percent = 0;         // backlight
    bool help = false;       // --help for the program or for `name`
    bool version = false;
    bool quiet = false;      // errors only (and what the command is asked to print)
    bool verbose = false;    // the libraries' debug lines on standard error
    // monitor: a screen to remember (--auto) or forget (--off), its mode,
    // or the remembered screens' states (--list).
    QString autoId;
    QString offId;
    QString mode;
    bool listMonitor = false;
};

// A command line, or the message that says what is wrong with it.
struct Parsed {
    std::optional<Command> command;
    QString error;
};
Parsed parseCommandLine(const QStringList &arguments);

// `log -`: the log goes to standard output.
bool logToStandardOutput(const Command &command);

// "tavrikctl VERSION"
QString versionText();
// --help of the program (empty name) or of one command.
QString helpText(const QString &command = {});
// The manual page, in troff.
QString manualPage();
// A bash completion script for tavrikctl.
QString bashCompletion();

} // namespace tavrikctl
