#pragma once

#include <QString>
#include <optional>

namespace sonvale {

// Asks for the speaker's name in a modal dialog, pre-filled with the current one.
// Returns the field's text as typed when "保存" is chosen, nothing when cancelled.
std::optional<QString> askForTargetName(const QString& current);

}  // namespace sonvale
