#include "ui/speaker_choices.h"

namespace sonvale {

void SpeakerChoices::setSpeakers(std::vector<SpeakerChoice> speakers) {
    beginResetModel();
    speakers_ = std::move(speakers);
    endResetModel();
}

int SpeakerChoices::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(speakers_.size());
}

QVariant SpeakerChoices::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const SpeakerChoice& speaker = speakers_[std::size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return speaker.airplay2 ? speaker.name + QStringLiteral("（AirPlay 2）") : speaker.name;
    case Qt::EditRole:
        return speaker.name;
    default:
        return {};
    }
}

}  // namespace sonvale
