#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

class QIODevice;
class QString;

// The ID3 version 1 tag that MP3 files carry in their last 128 bytes. Files come
// from anywhere, so the reader trusts nothing: a short file, a missing tag or a
// field without a terminating zero byte only ever yields "no tag" or a text cut
// at the field's width.
class Mp3Tag {
public:
    static constexpr std::size_t kTagSize = 128;
    static constexpr int kGenreCount = 80;

    // Reads the tag at the end of an open, seekable device. On false (device too
    // short, seek or read failed, no "TAG" mark) the texts keep their values.
    bool Read(QIODevice& file);
    // Opens the file read-only and reads its tag.
    bool ReadFile(const QString& path);
    // Decodes the last 128 bytes of a file; false unless exactly 128 bytes
    // starting with "TAG" are given.
    bool Parse(std::span<const std::uint8_t> tag);

    // Text fields up to their first zero byte, blanks kept.
    const std::string& Title() const { return m_title; }
    const std::string& Artist() const { return m_artist; }
    const std::string& Album() const { return m_album; }
    const std::string& Year() const { return m_year; }
    const std::string& Comment() const { return m_comment; }
    const std::string& Genre() const { return m_genre; }

    // Name of a genre number; "Unknown" outside the 80 listed genres.
    static const char* GenreName(int number);

private:
    std::string m_title;
    std::string m_artist;
    std::string m_album;
    std::string m_year;
    std::string m_comment;
    std::string m_genre;
};
