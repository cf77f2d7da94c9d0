#include "progress.h"

#include <algorithm>

namespace tavrikctl {

int ProgressBoard::add(const QString &label)
{
    Row row;
    row.label = label;
    row.step = QStringLiteral("waiting");
    m_rows.push_back(row);
    draw();
    return int(m_rows.size()) - 1;
}

void ProgressBoard::update(int row, const QString &step, int percent)
{
    Row &r = m_rows[size_t(row)];
    r.step = step;
    r.percent = percent;
    draw();
}

void ProgressBoard::note(const QString &text)
{
    if (m_gone)
        return;
    if (m_terminal && m_drawn > 0) {
        std::fprintf(m_out, "\x1b[%dA", m_drawn);
        std::fprintf(m_out, "\x1b[J");
        m_drawn = 0;
        for (Row &r : m_rows)
            r.printedPercent = -1;
    }
    std::fprintf(m_out, "%s\n", qPrintable(text));
    flush();
    draw();
}

void ProgressBoard::flush()
{
    m_gone = std::fflush(m_out) != 0 || std::ferror(m_out) != 0;
}

void ProgressBoard::draw()
{
    if (m_gone || m_quiet)
        return;
    if (!m_terminal) {
        // One line per change of step, and at every quarter within one.
        for (Row &r : m_rows) {
            const int quarter = r.percent / 25;
            if (r.step == r.printedStep && quarter == r.printedPercent)
                continue;
            std::fprintf(m_out, "%s: %s %d%%\n", qPrintable(r.label), qPrintable(r.step), r.percent);
            r.printedStep = r.step;
            r.printedPercent = quarter;
        }
        flush();
        return;
    }
    if (m_drawn > 0)
        std::fprintf(m_out, "\x1b[%dA", m_drawn);
    constexpr int kWidth = 30;
    for (const Row &r : m_rows) {
        const int filled = r.percent * kWidth / 100;
        const QString bar = QString(filled, QLatin1Char('#')) + QString(kWidth - filled, QLatin1Char('-'));
        std::fprintf(m_out, "\x1b[2K%-36s [%s] %3d%%  %s\n", qPrintable(r.label), qPrintable(bar), r.percent,
                     qPrintable(r.step));
    }
    m_drawn = int(m_rows.size());
    flush();
}

} // namespace tavrikctl
