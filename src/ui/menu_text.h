#pragma once

#include <QString>

namespace sonvale {

// A menu entry's title for a text shown as it is: a lone & would otherwise become a
// keyboard mnemonic and vanish.
inline QString menuText(QString text) { return text.replace('&', QLatin1String("&&")); }

}  // namespace sonvale
