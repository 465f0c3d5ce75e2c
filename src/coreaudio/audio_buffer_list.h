#pragma once

#include <cstdint>

namespace sonvale::coreaudio {

// The platform's view of one IO cycle's audio: a list of buffers, each with its channel
// count, its size in bytes and a data pointer that may be null (a hole in the stream).
struct AudioBuffer {
    std::uint32_t mNumberChannels = 0;
    std::uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};

struct AudioBufferList {
    std::uint32_t mNumberBuffers = 0;
    const AudioBuffer* mBuffers = nullptr;
};

}  // namespace sonvale::coreaudio
