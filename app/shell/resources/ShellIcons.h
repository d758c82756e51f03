#pragma once

#include <QIcon>
#include <QString>

// The program's pictures by name ("app", "tray", "open", "search", "friends",
// "shared", "transfers", "messenger", "monitor", "message", "preferences",
// "help", "add-friend", "shared-folder", "online", "offline"): the desktop
// theme's icon where the theme has a fitting one, else the picture drawn for
// Drovick that ships inside the program. Unknown names give a null icon.
class ShellIcons {
public:
    static QIcon Get(const char* name);
    // The bundled picture alone, whatever the theme holds.
    static QIcon Bundled(const char* name);
    // Every name Get knows, in the toolbar's order.
    static QStringList Names();
};
