#include "controller/speaker_discovery.h"

#include <algorithm>

namespace sonvale {
namespace {

// Long enough for every speaker on a home network to answer a browse.
constexpr int listingSeconds = 3;

void merge(std::vector<SpeakerChoice>& list, const ListedSpeaker& speaker) {
    const auto same = std::ranges::find(list, speaker.name, &SpeakerChoice::name);
    if (same == list.end()) {
        list.push_back({speaker.name, speaker.airplay2});
    } else {
        // A name advertised both ways (RAOP and AirPlay 2 records) is reached over AirPlay 2.
        same->airplay2 = same->airplay2 || speaker.airplay2;
    }
}

}  // namespace

SpeakerDiscovery::SpeakerDiscovery(WorkerCommand command, QObject* parent)
    : QObject(parent), command_(std::move(command)) {
    connect(&listing_, &SpeakerListing::found, this, &SpeakerDiscovery::add);
    connect(&listing_, &SpeakerListing::finished, this, [this] {
        if (found_ != choices_.speakers()) choices_.setSpeakers(found_);
    });
}

void SpeakerDiscovery::refresh() {
    if (listing_.running()) return;
    found_.clear();
    listing_.start(command_, listingSeconds);
}

void SpeakerDiscovery::add(const ListedSpeaker& speaker) {
    merge(found_, speaker);
    std::vector<SpeakerChoice> shown = choices_.speakers();
    merge(shown, speaker);
    if (shown != choices_.speakers()) choices_.setSpeakers(std::move(shown));
}

}  // namespace sonvale
