#include "app/files/FileTypeIcon.h"

#include <QByteArray>
#include <QFile>
#include <QLocale>
#include <QMimeDatabase>
#include <QMimeType>
#include <mutex>
#include <unordered_map>

namespace {

// More than the shared database defines; past it names are no longer kept.
constexpr std::size_t kMaxKeptTypeNames = 4096;

std::string CapitalizeFirst(QString text) {
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text.toStdString();
}

} // namespace

IconNames FileTypeIconNames(const std::string& fileName) {
    QMimeDatabase mimes;
    const QMimeType mime = mimes.mimeTypeForFile(
        QFile::decodeName(QByteArray::fromStdString(fileName)), QMimeDatabase::MatchExtension);
    return {mime.iconName().toStdString(), mime.genericIconName().toStdString()};
}

std::string FileTypeName(const QMimeType& mime) {
    static std::mutex mutex;
    static std::unordered_map<std::string, std::string> kept;
    // A NUL cannot occur in either part, so the key is unambiguous.
    const std::string key = (QLocale().name() + QChar(0) + mime.name()).toStdString();
    {
        std::lock_guard lock(mutex);
        const auto found = kept.find(key);
        if (found != kept.end())
            return found->second;
    }
    std::string name = CapitalizeFirst(mime.comment());
    std::lock_guard lock(mutex);
    if (kept.size() < kMaxKeptTypeNames)
        kept.emplace(key, name);
    return name;
}
