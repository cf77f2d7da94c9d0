#pragma once

#include "dialogs.h"

#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <functional>

// Answers every message box and file dialog of the programs while it lives,
// as a person at the screen would, and remembers what they said. Each box
// is kept as "Title|Text".
class BoxRecorder {
public:
    BoxRecorder()
    {
        dialogs::setMessageHandler([this](const dialogs::Message &m) {
            {
                const QMutexLocker lock(&m_mutex);
                m_shown << m.title + QLatin1Char('|') + m.text;
                m_messages << m;
                m_last = m;
            }
            if (onBox)
                onBox(m);
            return answers.value(m.title, QMessageBox::Ok);
        });
        dialogs::setFileHandler([this](const dialogs::FileRequest &r) {
            const QMutexLocker lock(&m_mutex);
            fileRequests << r;
            return chosenFile;
        });
    }
    ~BoxRecorder()
    {
        dialogs::setMessageHandler({});
        dialogs::setFileHandler({});
    }
    BoxRecorder(const BoxRecorder &) = delete;
    BoxRecorder &operator=(const BoxRecorder &) = delete;

    // Every box shown so far, "Title|Text".
    QStringList shown() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_shown;
    }
    QString last() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_shown.isEmpty() ? QString() : m_shown.last();
    }
    dialogs::Message lastMessage() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_last;
    }
    // Every box shown so far, whole: its parent, buttons and icon too.
    QList<dialogs::Message> messages() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_messages;
    }
    // Just the titles, in order.
    QStringList titles() const
    {
        QStringList out;
        for (const QString &s : shown())
            out << s.section(QLatin1Char('|'), 0, 0);
        return out;
    }
    void clear()
    {
        const QMutexLocker lock(&m_mutex);
        m_shown.clear();
        m_messages.clear();
        fileRequests.clear();
        m_last = {};
    }

    // The button each title is answered with; Ok otherwise (which stops a
    // question that has no Ok).
    QMap<QString, QMessageBox::StandardButton> answers;
    // What the file dialog returns; empty is a cancelled dialog.
    QString chosenFile;
    QList<dialogs::FileRequest> fileRequests;
    // Runs for every box before it is answered.
    std::function<void(const dialogs::Message &)> onBox;

private:
    mutable QMutex m_mutex;
    QStringList m_shown;
    QList<dialogs::Message> m_messages;
    dialogs::Message m_last;
};
