#include "app/shell/resources/HelpLocation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace {

const char* const kInstalledPage = "share/drovick/help/index.html";

} // namespace

QStringList HelpLocation::Candidates(const QString& programFolder) {
    QStringList places;
    if (!programFolder.isEmpty())
        places << QDir::cleanPath(programFolder + QStringLiteral("/../") +
                                  QLatin1String(kInstalledPage));
#ifdef DROVICK_INSTALL_PREFIX
    places << QDir::cleanPath(QStringLiteral(DROVICK_INSTALL_PREFIX "/") +
                              QLatin1String(kInstalledPage));
#endif
#ifdef DROVICK_SOURCE_HELP
    places << QDir::cleanPath(QStringLiteral(DROVICK_SOURCE_HELP "/index.html"));
#endif
    places.removeDuplicates();
    return places;
}

QString HelpLocation::IndexPage() {
    for (const QString& place : Candidates(QCoreApplication::applicationDirPath()))
        if (QFileInfo(place).isFile())
            return place;
    return {};
}
