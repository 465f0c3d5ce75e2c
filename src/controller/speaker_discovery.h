#pragma once

#include <QObject>

#include <vector>

#include "sender/speaker_listing.h"
#include "sender/worker_launch.h"
#include "ui/speaker_choices.h"

namespace sonvale {

// What the controller knows of the AirPlay speakers on the network, for the name dialog.
// Each refresh runs the worker's listing mode in a child process; speakers appear in the
// offered list as they are found, and when a listing ends the list becomes exactly what it
// found, so a speaker that left goes away. Main thread only.
class SpeakerDiscovery : public QObject {
    Q_OBJECT

public:
    explicit SpeakerDiscovery(WorkerCommand command, QObject* parent = nullptr);

    // Starts a listing unless one is running.
    void refresh();
    SpeakerChoices& choices() { return choices_; }

private:
    void add(const ListedSpeaker& speaker);

    WorkerCommand command_;
    SpeakerListing listing_;
    SpeakerChoices choices_;
    std::vector<SpeakerChoice> found_;  // by the running listing
};

}  // namespace sonvale
