#include "app/shell/frame/FrameIcons.h"

#include <QApplication>
#include <QStyle>

#include <cstring>

#if __has_include("app/shell/resources/ShellIcons.h")
#include "app/shell/resources/ShellIcons.h"
#define DROVICK_HAS_SHELL_ICONS 1
#endif

QIcon FrameIcon(const char* name) {
#ifdef DROVICK_HAS_SHELL_ICONS
    return ShellIcons::Get(name);
#else
    struct Fallback {
        const char* name;
        const char* theme;
        QStyle::StandardPixmap standard;
    };
    static constexpr Fallback kFallbacks[] = {
        {"app", "network-workgroup", QStyle::SP_DriveNetIcon},
        {"tray", "network-workgroup", QStyle::SP_DriveNetIcon},
        {"open", "document-open", QStyle::SP_DirOpenIcon},
        {"search", "system-search", QStyle::SP_FileDialogContentsView},
        {"friends", "system-users", QStyle::SP_FileDialogDetailedView},
        {"shared", "folder-remote", QStyle::SP_DirLinkIcon},
        {"transfers", "emblem-downloads", QStyle::SP_ArrowDown},
        {"messenger", "internet-group-chat", QStyle::SP_MessageBoxInformation},
        {"monitor", "utilities-system-monitor", QStyle::SP_ComputerIcon},
        {"message", "mail-send", QStyle::SP_ArrowRight},
        {"preferences", "preferences-system", QStyle::SP_FileDialogInfoView},
        {"help", "help-contents", QStyle::SP_DialogHelpButton},
        {"add-friend", "contact-new", QStyle::SP_FileDialogNewFolder},
    };
    for (const Fallback& fallback : kFallbacks)
        if (std::strcmp(fallback.name, name) == 0)
            return QIcon::fromTheme(QString::fromLatin1(fallback.theme),
                                    QApplication::style()->standardIcon(fallback.standard));
    return {};
#endif
}
