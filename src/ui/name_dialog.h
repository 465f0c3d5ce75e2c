#pragma once

#include <QString>
#include <optional>

class QAbstractItemModel;

namespace sonvale {

// Asks for the speaker's name in a modal dialog, pre-filled with the current one (several
// names separated by "、", "," or "，").
// Returns the field's text as typed when "保存" is chosen, nothing when cancelled.
// With `speakers` (rows whose edit role is a speaker's name, kept current while the dialog
// is open), the field completes the name being typed from them, and once there is at least
// one, an arrow at its end opens the whole list; a pick after a separator adds a speaker.
// Any name can still be typed.
std::optional<QString> askForTargetName(const QString& current, QAbstractItemModel* speakers = nullptr);

}  // namespace sonvale
