#include "app/files/Mp3Tag.h"

#include "platform/ByteOrder.h"

#include <QFile>
#include <QIODevice>
#include <QString>
#include <array>
#include <cstring>

namespace {

// The genre list of ID3 version 1, numbers 0 to 79, spelled as that list
// spells them.
constexpr std::array<const char*, Mp3Tag::kGenreCount> kGenres = {
    "Blues",
    "Classic Rock",
    "Country",
    "Dance",
    "Disco",
    "Funk",
    "Grunge",
    "Hip-Hop",
    "Jazz",
    "Metal",
    "New Age",
    "Oldies",
    "Other",
    "Pop",
    "R&B",
    "Rap",
    "Reggae",
    "Rock",
    "Techno",
    "Industrial",
    "Alternative",
    "Ska",
    "Death Metal",
    "Pranks",
    "Soundtrack",
    "Euro-Techno",
    "Ambient",
    "Trip-Hop",
    "Vocal",
    "Jazz+Funk",
    "Fusion",
    "Trance",
    "Classical",
    "Instrumental",
    "Acid",
    "House",
    "Game",
    "Sound Clip",
    "Gospel",
    "Noise",
    "AlternRock",
    "Bass",
    "Soul",
    "Punk",
    "Space",
    "Meditative",
    "Instrumental Pop",
    "Instrumental Rock",
    "Ethnic",
    "Gothic",
    "Darkwave",
    "Techno-Industrial",
    "Electronic",
    "Pop-Folk",
    "Eurodance",
    "Dream",
    "Southern Rock",
    "Comedy",
    "Cult",
    "Gangsta",
    "Top 40",
    "Christian Rap",
    "Pop/Funk",
    "Jungle",
    "Native American",
    "Cabaret",
    "New Wave",
    "Psychadelic",
    "Rave",
    "Showtunes",
    "Trailer",
    "Lo-Fi",
    "Tribal",
    "Acid Punk",
    "Acid Jazz",
    "Polka",
    "Retro",
    "Musical",
    "Rock & Roll",
    "Hard Rock",
};

// Field layout of the tag.
constexpr std::size_t kTitleOffset = 3;
constexpr std::size_t kArtistOffset = 33;
constexpr std::size_t kAlbumOffset = 63;
constexpr std::size_t kYearOffset = 93;
constexpr std::size_t kCommentOffset = 97;
constexpr std::size_t kGenreOffset = 127;
constexpr std::size_t kTextWidth = 30;
constexpr std::size_t kYearWidth = 4;

} // namespace

const char* Mp3Tag::GenreName(int number) {
    if (number < 0 || number >= kGenreCount)
        return "Unknown";
    return kGenres[static_cast<std::size_t>(number)];
}

bool Mp3Tag::Parse(std::span<const std::uint8_t> tag) {
    if (tag.size() != kTagSize || std::memcmp(tag.data(), "TAG", 3) != 0)
        return false;
    const std::uint8_t* bytes = tag.data();
    m_title = platform::ReadFixedText(bytes + kTitleOffset, kTextWidth);
    m_artist = platform::ReadFixedText(bytes + kArtistOffset, kTextWidth);
    m_album = platform::ReadFixedText(bytes + kAlbumOffset, kTextWidth);
    m_year = platform::ReadFixedText(bytes + kYearOffset, kYearWidth);
    m_comment = platform::ReadFixedText(bytes + kCommentOffset, kTextWidth);
    m_genre = GenreName(bytes[kGenreOffset]);
    return true;
}

bool Mp3Tag::Read(QIODevice& file) {
    if (!file.isOpen() || !file.isReadable() || file.isSequential())
        return false;
    const qint64 size = file.size();
    if (size < static_cast<qint64>(kTagSize))
        return false;
    if (!file.seek(size - static_cast<qint64>(kTagSize)))
        return false;
    std::array<std::uint8_t, kTagSize> buffer{};
    qint64 got = 0;
    // A device may hand out fewer bytes than asked; keep reading until the
    // tag is complete or the device gives nothing more.
    while (got < static_cast<qint64>(kTagSize)) {
        const qint64 n = file.read(reinterpret_cast<char*>(buffer.data()) + got,
                                   static_cast<qint64>(kTagSize) - got);
        if (n <= 0)
            return false;
        got += n;
    }
    return Parse(buffer);
}

bool Mp3Tag::ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return Read(file);
}
