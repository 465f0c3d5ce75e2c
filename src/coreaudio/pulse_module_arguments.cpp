#include "coreaudio/pulse_module_arguments.h"

#include <cstdint>

namespace sonvale::coreaudio {
namespace {

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes one UTF-8 sequence at text[i], advancing i; U+FFFD for anything malformed
// (overlong forms, surrogates, values past U+10FFFF, truncated sequences).
char32_t nextCodePoint(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(text[at]); };
    const std::uint8_t lead = byte(i++);
    if (lead < 0x80) return lead;
    int length = 0;
    char32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 2;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 3;
        value = lead & 0x07;
    } else {
        return 0xFFFD;
    }
    for (int k = 0; k < length; ++k) {
        if (i >= text.size() || (byte(i) & 0xC0) != 0x80) return 0xFFFD;
        value = (value << 6) | (byte(i++) & 0x3F);
    }
    const char32_t minimum = length == 1 ? 0x80 : length == 2 ? 0x800 : 0x10000;
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0xFFFD;
    return value;
}

bool isPlainSinkName(std::string_view uid) {
    if (uid.empty()) return false;
    for (char c : uid) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '_' || c == '-';
        if (!plain) return false;
    }
    return true;
}

}  // namespace

std::string portableDescription(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size();) {
        const char32_t c = nextCodePoint(name, i);
        if (c == U'"') {
            appendUtf8(out, U'”');
        } else if (c == U'\'') {
            appendUtf8(out, U'’');
        } else if (c == U'\\') {
            appendUtf8(out, U'＼');
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            out += ' ';
        } else {
            appendUtf8(out, c);
        }
    }
    return out;
}

std::optional<std::string> nullSinkArguments(std::string_view uid, std::string_view name) {
    if (!isPlainSinkName(uid)) return std::nullopt;
    // device.class stays the module's "abstract" and priority.session is low, so neither
    // PulseAudio nor WirePlumber ever picks this sink as a default on its own. It runs at the
    // speaker's own rate, in float so that several players mix without clipping before the
    // gain; node.force-rate makes PipeWire run its graph at that rate while the sink plays,
    // instead of resampling to its usual 48 kHz and back (docs/audio-format.md).
    return "sink_name=" + std::string(uid) +
           " rate=44100 format=float32le channels=2 sink_properties='device.description=\"" +
           portableDescription(name) + "\" priority.session=1 node.force-rate=44100'";
}

}  // namespace sonvale::coreaudio
