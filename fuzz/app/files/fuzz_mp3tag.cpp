// Reads an ID3v1 tag from arbitrary file contents, through the device reader
// and the raw decoder; whatever the bytes, texts stay within their fields.
#include "app/files/Mp3Tag.h"

#include <QBuffer>
#include <QByteArray>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return 0;
    Mp3Tag tag;
    const bool found = tag.Read(buffer);
    if (found != (size >= Mp3Tag::kTagSize && data[size - 128] == 'T' && data[size - 127] == 'A' &&
                  data[size - 126] == 'G'))
        __builtin_trap();
    if (tag.Title().size() > 30 || tag.Artist().size() > 30 || tag.Album().size() > 30 ||
        tag.Year().size() > 4 || tag.Comment().size() > 30 || (found && tag.Genre().empty()))
        __builtin_trap();
    Mp3Tag raw;
    raw.Parse({data, size});
    return 0;
}
