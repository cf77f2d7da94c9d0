#pragma once

#include "commandline.h"
#include "screenbus.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <atomic>
#include <utility>
#include <vector>

namespace tavrikctl {

// The outcome of a job on one screen: done, or why not.
struct JobResult {
    JobResult() = default;
    JobResult(bool done, QString text, bool stoppedEarly = false)
        : ok(done), message(std::move(text)), stopped(stoppedEarly)
    {
    }

    bool ok = false;
    QString message;      // what to tell the user: a result line, or the failure
    bool stopped = false; // ended early by a stop signal
    QJsonObject fields;   // the command's own, for --json; null where the screen did not tell
    QByteArray log;       // `log -`: what goes to standard output
};

// The quick jobs: each runs on one screen, blocking, from any thread.
// `stop` asks a long one (the LED test) to end early.
JobResult runJob(const Command &command, const session::ScreenInfo &screen, const session::ScreenBus &bus,
                 const std::atomic<int> &stop);

// One screen's entry in the JSON of a quick job: who it is, how the job
// ended, and the command's own fields.
QJsonObject jobJson(const session::ScreenInfo &screen, const std::vector<session::ScreenInfo> &all,
                    const JobResult &result);

// `path` as `log` writes it for `screen`: as given with one screen, with the
// device ID before the extension with several.
QString logPath(const QString &path, const session::ScreenInfo &screen, bool several);

// Why a file the command names cannot be used, found before any screen is
// touched (a usage error); empty when it can.
QString argumentFileError(const Command &command);

} // namespace tavrikctl
