#include "app/shell/resources/ShellIcons.h"

#include <QFile>
#include <array>
#include <cstring>
#include <mutex>

// The resource file sits in a static library, so nothing would pull it into a
// program unless something asks for it by name.
static void LoadDrovickResources() {
    static std::once_flag loaded;
    std::call_once(loaded, [] { Q_INIT_RESOURCE(drovick); });
}

namespace {

struct IconName {
    const char* name;
    // Names from the freedesktop icon naming scheme, in order of preference;
    // none for the pictures that are Drovick's own.
    std::array<const char*, 2> theme;
};

constexpr std::array<IconName, 16> kIcons{{
    {"app", {}},
    {"tray", {}},
    {"open", {"computer", nullptr}},
    {"search", {"system-search", "edit-find"}},
    {"friends", {}},
    {"shared", {}},
    {"transfers", {}},
    {"messenger", {"internet-group-chat", nullptr}},
    {"monitor", {"utilities-system-monitor", nullptr}},
    {"message", {"mail-send", nullptr}},
    {"preferences", {"preferences-system", "document-properties"}},
    {"help", {"help-contents", "help-browser"}},
    {"add-friend", {"contact-new", nullptr}},
    {"shared-folder", {}},
    {"online", {"user-available", nullptr}},
    {"offline", {"user-offline", nullptr}},
}};

const IconName* Find(const char* name) {
    if (!name)
        return nullptr;
    for (const auto& icon : kIcons)
        if (std::strcmp(icon.name, name) == 0)
            return &icon;
    return nullptr;
}

} // namespace

QIcon ShellIcons::Bundled(const char* name) {
    if (!Find(name))
        return {};
    LoadDrovickResources();
    return QIcon(QStringLiteral(":/drovick/%1.svg").arg(QLatin1String(name)));
}

QIcon ShellIcons::Get(const char* name) {
    const IconName* icon = Find(name);
    if (!icon)
        return {};
    for (const char* theme : icon->theme)
        if (theme && QIcon::hasThemeIcon(QLatin1String(theme)))
            return QIcon::fromTheme(QLatin1String(theme));
    return Bundled(name);
}

QStringList ShellIcons::Names() {
    QStringList names;
    for (const auto& icon : kIcons)
        names << QLatin1String(icon.name);
    return names;
}
