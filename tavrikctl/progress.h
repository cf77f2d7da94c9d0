#pragma once

#include <QString>

#include <cstdio>
#include <vector>

namespace tavrikctl {

// The way an upgrade writes a screen, which decides what its progress
// values mean.
enum class UpgradePath { TelvRunning, TelvBootLoader, EepromRunning, EepromBootLoader };

// What a screen's upgrade is doing, from the progress values it reports.
class StepTracker {
public:
    explicit StepTracker(UpgradePath path);
    // One progress value as the upgrade reports it (-1 for failure).
    void feed(int value);
    void restarting() { m_step = QStringLiteral("restart"); }
    void finish(bool ok);
    // read, erase, program, verify, download, restart, done, failed
    QString step() const { return m_step; }
    // 0 to 100, never going back.
    int percent() const { return m_percent; }

private:
    UpgradePath m_path;
    int m_last = -1;
    bool m_erasing = false;
    QString m_step;
    int m_percent = 0;
};

// Shows the progress of several screens: on a terminal one bar per screen,
// redrawn in place; elsewhere (pipes, logs) one plain line per change of
// step.
class ProgressBoard {
public:
    ProgressBoard(std::FILE *out, bool terminal) : m_out(out), m_terminal(terminal) {}
    int add(const QString &label);
    void update(int row, const QString &step, int percent);
    // A line that stays above the bars.
    void note(const QString &text);

private:
    void draw();
    // Flushes; once the output is gone (a closed pipe, a hung-up terminal)
    // nothing more is printed.
    void flush();

    struct Row {
        QString label;
        QString step;
        int percent = 0;
        int printedPercent = -1;
        QString printedStep;
    };
    std::FILE *m_out;
    bool m_terminal;
    std::vector<Row> m_rows;
    int m_drawn = 0; // bar lines on the terminal below the cursor's start
    bool m_gone = false;
};

} // namespace tavrikctl
