#pragma once

#include <QHash>
#include <QIcon>
#include <cstdint>

// The pictures of the explorer panes: icons by the process icon table's index
// (the desktop's icon theme first, its fallback name next), and the shared
// folder picture for folders this computer shares. Kept per index, so ten
// thousand rows with a few file types cost a few icons. User-interface thread.
class ExplorerIcons {
public:
    // A folder whose index names no icon draws as a folder.
    QIcon ByIndex(std::int32_t index, bool folder = false);
    QIcon Folder();
    QIcon SharedFolder();

private:
    QHash<std::int32_t, QIcon> m_byIndex;
    QIcon m_folder;
    QIcon m_sharedFolder;
};
