#include "sender/pipe_reader.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace sonvale {
namespace {

// One readiness event takes at most this much, so a child that writes without pause
// cannot hold the main thread in one read loop.
constexpr qsizetype readLimitPerEvent = 1 << 20;

}  // namespace

PipeReader::PipeReader(UniqueFd readEnd) : fd_(std::move(readEnd)) {
    if (!fd_) return;
    const int flags = ::fcntl(fd_.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK);
    notifier_ = std::make_unique<QSocketNotifier>(fd_.get(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { onReadable(); });
}

PipeReader::~PipeReader() {
    if (notifier_) notifier_->setEnabled(false);
    notifier_.reset();
}

void PipeReader::setHandler(Handler handler) { handler_ = std::move(handler); }

QByteArray PipeReader::readAvailable() {
    QByteArray bytes;
    char chunk[65536];
    while (fd_ && bytes.size() < readLimitPerEvent) {
        const ssize_t n = ::read(fd_.get(), chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        // End of file or a broken pipe: stop watching before closing, or the notifier
        // would fire for ever (or for a descriptor number reused elsewhere).
        notifier_->setEnabled(false);
        fd_.reset();
    }
    return bytes;
}

void PipeReader::onReadable() {
    const bool wasOpen = bool(fd_);
    const QByteArray bytes = readAvailable();
    if (!handler_) return;
    if (!bytes.isEmpty()) handler_(bytes);
    if (wasOpen && !fd_) handler_(QByteArray());
}

}  // namespace sonvale
