#pragma once

#include <QString>
#include <optional>

class QAbstractItemModel;

namespace sonvale {

// Asks for the speaker's name in a modal dialog, pre-filled with the current one.
// Returns the field's text as typed when "保存" is chosen, nothing when cancelled.
// With `speakers` (rows whose edit role is a speaker's name, kept current while the dialog
// is open), the field completes from them as the user types, and once there is at least
// one, an arrow at its end opens the whole list. Any name can still be typed.
std::optional<QString> askForTargetName(const QString& current, QAbstractItemModel* speakers = nullptr);

}  // namespace sonvale
