#include "app/shell/frame/WindowPlacement.h"

#include <algorithm>
#include <cstdint>

std::optional<QRect> WindowPlacement::Place(const SettingsRect& saved, const QSize& client) {
    // Widths are taken in 64 bits: the file may hold any two 32-bit edges.
    const std::int64_t width = std::int64_t{saved.right} - saved.left;
    const std::int64_t height = std::int64_t{saved.bottom} - saved.top;
    if (width <= 0 || height <= 0)
        return std::nullopt;
    std::int64_t left = std::max<std::int64_t>(saved.left, 0);
    std::int64_t top = std::max<std::int64_t>(saved.top, 0);
    left = std::min<std::int64_t>(left, client.width() - kVisibleMargin);
    top = std::min<std::int64_t>(top, client.height() - kVisibleMargin);
    // A client area smaller than the margin must not push the window out left.
    left = std::max<std::int64_t>(left, 0);
    top = std::max<std::int64_t>(top, 0);
    // No window is made larger than a screen could ever show.
    constexpr std::int64_t kLargest = 1 << 15;
    return QRect(static_cast<int>(left), static_cast<int>(top),
                 static_cast<int>(std::min(width, kLargest)),
                 static_cast<int>(std::min(height, kLargest)));
}

SettingsRect WindowPlacement::ToSettings(const QRect& rect) {
    return SettingsRect{rect.left(), rect.top(), rect.left() + rect.width(),
                        rect.top() + rect.height()};
}
