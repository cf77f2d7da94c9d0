#pragma once

#include <QTemporaryDir>
#include <QtGlobal>

// A state folder of one test's own, for the test and the programs it
// starts: what one test leaves there (kept screen blocks, remembered
// screens) must not decide the next.
class FreshState {
public:
    FreshState() { qputenv("XDG_STATE_HOME", m_dir.path().toLocal8Bit()); }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};
