#pragma once

#include <QString>
#include <QStringList>

#include <memory>

#include "base/unique_fd.h"
#include "sender/pipe_reader.h"
#include "sender/worker_process.h"

namespace sonvale {

// How the sender worker is started for its speakers.
struct WorkerCommand {
    QString python;         // /usr/bin/python3
    QString script;         // <resources>/sender.py
    QString vendorDir;      // <resources>/vendor, handed over as SONVALE_VENDOR
    QString senderLogPath;  // the worker's standard error is copied here
    QStringList names;      // the speakers' names, in the order chosen
};

// A running worker with the parent's ends of its pipes.
struct LaunchedWorker {
    std::shared_ptr<WorkerProcess> process;
    UniqueFd input;                       // the worker's standard input: the PCM stream
    std::unique_ptr<PipeReader> output;   // the worker's standard output: its event lines
};

// Starts "python -s -B -u sender.py --name <name>", with one more "--name <name>" for each
// further speaker, with its own pipes as standard input,
// output and error, in this process's environment with SONVALE_VENDOR set; what it writes
// to its standard error goes to the sender log (followWorkerLog). Throws PlatformError.
LaunchedWorker launchWorker(const WorkerCommand& command);

}  // namespace sonvale
