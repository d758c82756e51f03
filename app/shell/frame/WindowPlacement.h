#pragma once

#include "app/files/DrovickSettings.h"

#include <QRect>
#include <QSize>
#include <optional>

// Where a tool window goes when it opens: its saved rectangle, when that has a
// size, kept inside the main window's client area so that a window saved on a
// larger screen can still be grabbed.
class WindowPlacement {
public:
    // How much of a window stays inside the client area at least.
    static constexpr int kVisibleMargin = 20;

    // Nothing when the saved rectangle has no positive width and height (the
    // default placement stays). A negative left or top moves to 0 keeping the
    // size; the left edge is limited to the client width less the margin and
    // the top edge to the client height less the margin.
    static std::optional<QRect> Place(const SettingsRect& saved, const QSize& client);

    static SettingsRect ToSettings(const QRect& rect);
};
