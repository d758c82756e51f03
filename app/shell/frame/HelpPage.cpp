#include "app/shell/frame/HelpPage.h"

#include <QCoreApplication>
#include <QFileInfo>

QString HelpPage::Find() {
    const QString programFolder = QCoreApplication::applicationDirPath();
    const QString candidates[] = {
        programFolder + QStringLiteral("/../share/drovick/help/index.html"),
        programFolder + QStringLiteral("/help/index.html"),
#ifdef DROVICK_SOURCE_DIR
        QStringLiteral(DROVICK_SOURCE_DIR "/help/index.html"),
#endif
    };
    for (const QString& candidate : candidates)
        if (QFileInfo(candidate).isFile())
            return QFileInfo(candidate).canonicalFilePath();
    return {};
}
