#include "progress.h"

#include <algorithm>

namespace tavrikctl {

namespace {

// What each path does first.
QString firstStep(UpgradePath path)
{
    if (path == UpgradePath::TelvBootLoader)
        return QStringLiteral("download");
    if (path == UpgradePath::TelvRunning)
        return QStringLiteral("read");
    return QStringLiteral("program");
}

} // namespace

StepTracker::StepTracker(UpgradePath path) : m_path(path), m_step(firstStep(path)) {}

void StepTracker::feed(int value)
{
    if (value < 0) {
        finish(false);
        return;
    }
    int overall = m_percent;
    switch (m_path) {
    case UpgradePath::TelvRunning:
        // Read 0..40, then erase 25..45 (the values step back), program
        // 50..95, read-back 96..99.
        if (!m_erasing && m_last >= 0 && value < m_last)
            m_erasing = true;
        if (value >= 100) {
            overall = 100;
        } else if (value >= 96) {
            m_step = QStringLiteral("verify");
            overall = 95 + (value - 96);
        } else if (m_erasing && value >= 50) {
            m_step = QStringLiteral("program");
            overall = 45 + (value - 50) * 50 / 45;
        } else if (m_erasing) {
            m_step = QStringLiteral("erase");
            overall = 20 + (value - 25) * 25 / 20;
        } else {
            overall = value / 2;
        }
        break;
    case UpgradePath::TelvBootLoader:
        m_step = QStringLiteral("program");
        overall = value >= 100 ? 100 : std::max(0, (value - 40) * 95 / 58);
        break;
    case UpgradePath::EepromRunning:
        m_step = value >= 97 && value < 100 ? QStringLiteral("verify") : QStringLiteral("program");
        overall = value;
        break;
    case UpgradePath::EepromBootLoader:
        overall = value;
        break;
    }
    m_last = value;
    m_percent = std::clamp(std::max(m_percent, overall), 0, 100);
}

void StepTracker::finish(bool ok)
{
    m_step = ok ? QStringLiteral("done") : QStringLiteral("failed");
    if (ok)
        m_percent = 100;
}

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
    draw();
}

void ProgressBoard::flush()
{
    m_gone = std::fflush(m_out) != 0 || std::ferror(m_out) != 0;
}

void ProgressBoard::draw()
{
    if (m_gone)
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
