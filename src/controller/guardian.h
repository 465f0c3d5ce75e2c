#pragma once

#include <QString>

#include <string>

#include "base/unique_fd.h"

namespace sonvale {

// A small child process that outlives this one ("sonvale --guardian"). It holds the read
// end of a pipe; this process keeps the write end and tells it the user's output to give
// back. When the pipe closes without the word that the termination sequence ran (this
// process was killed, crashed or lost its display), the guardian gives the user's output
// back and removes the forwarding output. It never touches anything while the pipe is
// open. Main thread only.
class Guardian {
public:
    // Starts the guardian; false (and nothing guarded) when it cannot be started.
    bool start(const QString& executable);
    // The output to give back if this process dies.
    void remember(const std::string& previousUID);
    // The termination sequence has run: the guardian ends without touching anything.
    void release();

private:
    void send(const std::string& line);

    UniqueFd pipe_;
    std::string told_;
};

// The guardian's side: reads the lines from standard input until it closes, then acts as
// described above. Returns the exit status.
int runGuardian();

}  // namespace sonvale
