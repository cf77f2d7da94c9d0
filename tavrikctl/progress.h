#pragma once

#include <QString>

#include <cstdio>
#include <vector>

namespace tavrikctl {

// Shows the progress of several screens: on a terminal one bar per screen,
// redrawn in place; elsewhere (pipes, logs) one plain line per change of
// step. A quiet board prints only its notes.
class ProgressBoard {
public:
    ProgressBoard(std::FILE *out, bool terminal, bool quiet = false)
        : m_out(out), m_terminal(terminal && !quiet), m_quiet(quiet)
    {
    }
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
    bool m_quiet;
    std::vector<Row> m_rows;
    int m_drawn = 0; // bar lines on the terminal below the cursor's start
    bool m_gone = false;
};

} // namespace tavrikctl
