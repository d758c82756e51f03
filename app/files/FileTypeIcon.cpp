#include "app/files/FileTypeIcon.h"

#include <QByteArray>
#include <QFile>
#include <QMimeDatabase>
#include <QMimeType>

IconNames FileTypeIconNames(const std::string& fileName) {
    QMimeDatabase mimes;
    const QMimeType mime = mimes.mimeTypeForFile(
        QFile::decodeName(QByteArray::fromStdString(fileName)), QMimeDatabase::MatchExtension);
    return {mime.iconName().toStdString(), mime.genericIconName().toStdString()};
}
