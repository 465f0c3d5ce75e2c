#pragma once

#include <QRect>

namespace sonvale {

inline constexpr int windowWidth = 560;
inline constexpr int windowHeight = 395;

// The window's frames are given from the bottom-left corner of the content, Qt's from the
// top-left.
constexpr QRect frameFromBottom(int x, int y, int width, int height) {
    return QRect(x, windowHeight - y - height, width, height);
}

}  // namespace sonvale
