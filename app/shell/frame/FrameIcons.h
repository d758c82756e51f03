#pragma once

#include <QIcon>

// The picture of a toolbar button or window: the bundled pictures when they
// are built in, else the desktop theme's, else one of the style's own.
QIcon FrameIcon(const char* name);
