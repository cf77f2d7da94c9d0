#pragma once

#include "commandline.h"
#include "fleet.h"

#include <QString>

#include <atomic>
#include <memory>

namespace tavrikctl {

// The outcome of a job on one screen: done, or why not.
struct JobResult {
    bool ok = false;
    QString message; // what to tell the user: a result line, or the failure
    bool stopped = false; // ended early by a stop signal
};

// The quick jobs: each runs on one screen, blocking, from any thread.
// `stop` asks a long one (the LED test) to end early.
JobResult runJob(const Command &command, const ScreenRecord &screen,
                 const std::shared_ptr<screenlink::UsbContext> &context, const std::atomic<int> &stop);

// What is wrong with the files the command line names (the picture to show,
// the firmware to write, the folder for the log), found before any screen is
// opened; empty when nothing is.
QString argumentFileError(const Command &command);

// `path` as `log` writes it for `screen`: as given with one screen, with the
// device ID before the extension with several.
QString logPath(const QString &path, const ScreenRecord &screen, bool several);

} // namespace tavrikctl
