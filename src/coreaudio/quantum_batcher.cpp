#include "coreaudio/quantum_batcher.h"

#include <cstring>
#include <utility>

namespace sonvale::coreaudio {

QuantumBatcher::QuantumBatcher(std::uint32_t batchBytes, IOBlock block)
    : batchBytes_(batchBytes), block_(std::move(block)), gathered_(batchBytes) {}

void QuantumBatcher::add(const void* data, std::uint32_t bytes) {
    if (used_ + bytes > gathered_.size()) flush();
    if (used_ == 0 && bytes >= batchBytes_) {  // a whole batch already: on without a copy
        const AudioBuffer buffer{2, bytes, const_cast<void*>(data)};
        block_(AudioBufferList{1, &buffer});
        return;
    }
    std::memcpy(gathered_.data() + used_, data, bytes);
    used_ += bytes;
    if (used_ >= batchBytes_) flush();
}

void QuantumBatcher::flush() {
    if (used_ == 0) return;
    const AudioBuffer buffer{2, used_, gathered_.data()};
    used_ = 0;
    block_(AudioBufferList{1, &buffer});
}

}  // namespace sonvale::coreaudio
