#pragma once

class QIcon;

// The library's own icon, in the large and the small size: two friends'
// heads side by side on a round badge, drawn here rather than loaded.
QIcon LibraryIcon();
