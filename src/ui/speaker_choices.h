#pragma once

#include <QAbstractListModel>
#include <QString>

#include <vector>

namespace sonvale {

struct SpeakerChoice {
    QString name;
    bool airplay2 = false;
    bool operator==(const SpeakerChoice&) const = default;
};

// The speakers the name field offers. The list shows those that take only AirPlay 2 with a
// mark after the name; what the field takes (the edit role) is always the plain name.
class SpeakerChoices : public QAbstractListModel {
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;

    void setSpeakers(std::vector<SpeakerChoice> speakers);
    const std::vector<SpeakerChoice>& speakers() const { return speakers_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    std::vector<SpeakerChoice> speakers_;
};

}  // namespace sonvale
