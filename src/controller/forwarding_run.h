#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "capture/capture.h"
#include "controller/speaker_status.h"
#include "sender/worker_launch.h"
#include "sender/worker_lines.h"

namespace sonvale {

// One forwarding run: the worker launched for the chosen speakers, the parent's ends of its
// pipes, the reader of its event lines and, from "ready" on, the capture that feeds it.
// The run keeps the names it was launched with even if the stored names change meanwhile.
// Main thread only.
class ForwardingRun {
public:
    ForwardingRun(QStringList names, LaunchedWorker launched);
    ~ForwardingRun();
    ForwardingRun(const ForwardingRun&) = delete;
    ForwardingRun& operator=(const ForwardingRun&) = delete;

    const QStringList& names() const { return names_; }
    const std::shared_ptr<WorkerProcess>& process() const { return launched_.process; }
    bool workerRunning() const { return launched_.process->isRunning(); }
    bool capturing() const { return capture_ != nullptr; }
    // The capture's frame counters and level; nothing before "ready".
    std::optional<RingStatistics> captureStatistics();

    // Both handlers are called on the main thread: the output handler whenever the worker
    // wrote something (takeOutput() has it), the exit handler once the worker has exited and
    // been reaped.
    void setOutputHandler(std::function<void()> handler);
    void setExitHandler(std::function<void()> handler);

    // Everything the worker wrote that has not been taken yet, in order: what its pipe
    // delivered meanwhile and what the pipe holds now. Taken at the worker's exit, that is
    // every line it wrote, whichever of the two the loop heard of first.
    QByteArray takeOutput();
    // The events of the lines these bytes complete.
    std::vector<WorkerEvent> read(const QByteArray& bytes) { return lines_.feed(bytes); }

    // Starts the capture into the worker's input in place of any earlier one; the run
    // keeps it even when start() throws, so that ending the run tears down whatever it
    // built.
    void startCapture(std::unique_ptr<Capture> capture);
    void setGain(float gain);
    // How long after the worker sends audio the speaker plays it, as its "ready" said.
    std::optional<std::chrono::milliseconds> speakerDelay;
    // What the worker last said of each speaker (several names only), and the status the
    // controller last showed from it, so that a change of one speaker can be shown in place.
    std::vector<SpeakerReport> speakers;
    Headline headline = Headline::connecting;
    QString headlineText;
    void stopCapture();
    // Closes the pipes and ends the worker: SIGTERM now and SIGKILL after 4 s if it is
    // still there then. The kill timer lives as long as `context`.
    void end(QObject* context);

private:
    QStringList names_;
    LaunchedWorker launched_;
    WorkerLineReader lines_;
    QByteArray untaken_;
    std::unique_ptr<Capture> capture_;
};

}  // namespace sonvale
