#pragma once

#include <QByteArray>

#include <functional>
#include <memory>

#include "base/unique_fd.h"

class QSocketNotifier;

namespace sonvale {

// The read end of a child's output pipe, watched on the main thread. Each time the pipe is
// readable the handler gets what could be read without blocking; at end of file it gets an
// empty array once, and the pipe is closed. Destroying the reader removes the handler and
// closes the pipe. Main thread only; the handler must not destroy the reader (queue the
// work instead).
class PipeReader {
public:
    using Handler = std::function<void(const QByteArray& bytes)>;

    explicit PipeReader(UniqueFd readEnd);  // made non-blocking here
    ~PipeReader();
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;

    void setHandler(Handler handler);
    // Reads what is there now, without the handler; closes the pipe at end of file.
    QByteArray readAvailable();
    bool atEnd() const { return !fd_; }

private:
    void onReadable();

    UniqueFd fd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    Handler handler_;
};

}  // namespace sonvale
