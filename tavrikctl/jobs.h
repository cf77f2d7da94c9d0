#pragma once

#include "commandline.h"
#include "screenbus.h"

#include <QString>

#include <atomic>

namespace tavrikctl {

// The outcome of a job on one screen: done, or why not.
struct JobResult {
    bool ok = false;
    QString message;      // what to tell the user: a result line, or the failure
    bool stopped = false; // ended early by a stop signal
};

// The quick jobs: each runs on one screen, blocking, from any thread.
// `stop` asks a long one (the LED test) to end early.
JobResult runJob(const Command &command, const session::ScreenInfo &screen, const session::ScreenBus &bus,
                 const std::atomic<int> &stop);

// `path` as `log` writes it for `screen`: as given with one screen, with the
// device ID before the extension with several.
QString logPath(const QString &path, const session::ScreenInfo &screen, bool several);

// Why a file the command names cannot be used, found before any screen is
// touched (a usage error); empty when it can.
QString argumentFileError(const Command &command);

} // namespace tavrikctl
