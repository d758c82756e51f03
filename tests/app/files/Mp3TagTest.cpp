#include "app/files/Mp3Tag.h"

#include "support/TestSupport.h"

#include <QBuffer>
#include <QFile>
#include <QString>
#include <array>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace {

using Bytes = std::string;

struct TagFields {
    std::string title = "Hello";
    std::string artist = "Some Band";
    std::string album = "First";
    std::string year = "1999";
    std::string comment = "ripped";
    int genre = 17;
};

// The 128 bytes at the end of a tagged file; fields are copied raw, so a text
// as wide as its field has no terminating zero.
Bytes MakeTag(const TagFields& fields) {
    Bytes tag(Mp3Tag::kTagSize, '\0');
    std::memcpy(tag.data(), "TAG", 3);
    auto put = [&tag](std::size_t offset, std::size_t width, const std::string& text) {
        std::memcpy(tag.data() + offset, text.data(), std::min(width, text.size()));
    };
    put(3, 30, fields.title);
    put(33, 30, fields.artist);
    put(63, 30, fields.album);
    put(93, 4, fields.year);
    put(97, 30, fields.comment);
    tag[127] = static_cast<char>(fields.genre);
    return tag;
}

// Something that looks like MPEG audio frames in front of the tag.
Bytes FakeAudio(std::size_t size) {
    Bytes audio(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        audio[i] = static_cast<char>((i % 417 == 0) ? 0xFF : (i * 31) & 0xFF);
    return audio;
}

class Mp3TagTest : public ::testing::Test {
protected:
    QString Write(const std::string& name, const Bytes& content) {
        const auto path = m_dir.Path() / name;
        std::ofstream out(path, std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        return QString::fromStdString(path.string());
    }

    testsupport::TempDir m_dir;
};

TEST_F(Mp3TagTest, ReadsEveryFieldOfATaggedFile) {
    Mp3Tag tag;
    ASSERT_TRUE(tag.ReadFile(Write("song.mp3", FakeAudio(5000) + MakeTag({}))));
    EXPECT_EQ(tag.Title(), "Hello");
    EXPECT_EQ(tag.Artist(), "Some Band");
    EXPECT_EQ(tag.Album(), "First");
    EXPECT_EQ(tag.Year(), "1999");
    EXPECT_EQ(tag.Comment(), "ripped");
    EXPECT_EQ(tag.Genre(), "Rock");
}

TEST_F(Mp3TagTest, FullWidthFieldsAndBlanksAreKept) {
    TagFields fields;
    fields.title = std::string(30, 'T');
    fields.artist = "  spaced out  ";
    fields.year = "2001";
    fields.comment = std::string(30, 'c');
    Mp3Tag tag;
    ASSERT_TRUE(tag.ReadFile(Write("wide.mp3", FakeAudio(300) + MakeTag(fields))));
    EXPECT_EQ(tag.Title(), std::string(30, 'T'));
    EXPECT_EQ(tag.Artist(), "  spaced out  ");
    // The year runs into the comment with no zero between them.
    EXPECT_EQ(tag.Year(), "2001");
    EXPECT_EQ(tag.Comment(), std::string(30, 'c'));
}

TEST_F(Mp3TagTest, GenreNumbersMapToTheListOrUnknown) {
    const std::array<std::pair<int, const char*>, 8> expected = {{
        {0, "Blues"},
        {17, "Rock"},
        {29, "Jazz+Funk"},
        {40, "AlternRock"},
        {62, "Pop/Funk"},
        {67, "Psychadelic"},
        {78, "Rock & Roll"},
        {79, "Hard Rock"},
    }};
    for (const auto& [number, name] : expected) {
        TagFields fields;
        fields.genre = number;
        Mp3Tag tag;
        ASSERT_TRUE(tag.ReadFile(Write("g.mp3", FakeAudio(200) + MakeTag(fields))));
        EXPECT_EQ(tag.Genre(), name) << number;
    }
    for (int number : {80, 147, 255}) {
        TagFields fields;
        fields.genre = number;
        Mp3Tag tag;
        ASSERT_TRUE(tag.ReadFile(Write("g.mp3", FakeAudio(200) + MakeTag(fields))));
        EXPECT_EQ(tag.Genre(), "Unknown") << number;
    }
    EXPECT_STREQ(Mp3Tag::GenreName(-1), "Unknown");
}

TEST_F(Mp3TagTest, FilesWithoutATagLeaveTheTextsAlone) {
    Mp3Tag tag;
    ASSERT_TRUE(tag.ReadFile(Write("first.mp3", FakeAudio(1000) + MakeTag({}))));

    EXPECT_FALSE(tag.ReadFile(Write("short.mp3", FakeAudio(100))));
    EXPECT_FALSE(tag.ReadFile(Write("notag.mp3", FakeAudio(4000))));
    EXPECT_FALSE(tag.ReadFile(Write("empty.mp3", "")));
    // "TAG" not at the start of the last 128 bytes.
    EXPECT_FALSE(tag.ReadFile(Write("shifted.mp3", FakeAudio(500) + MakeTag({}) + "x")));
    EXPECT_FALSE(tag.ReadFile(Write("tg.mp3", FakeAudio(500) + "TAX" + Bytes(125, 'a'))));
    EXPECT_FALSE(tag.ReadFile(QString::fromStdString((m_dir.Path() / "missing.mp3").string())));
    EXPECT_EQ(tag.Title(), "Hello");
    EXPECT_EQ(tag.Genre(), "Rock");

    // Exactly one tag and nothing else is still a tag.
    TagFields fields;
    fields.title = "Only";
    ASSERT_TRUE(tag.ReadFile(Write("bare.mp3", MakeTag(fields))));
    EXPECT_EQ(tag.Title(), "Only");
}

TEST_F(Mp3TagTest, ReadsFromAnOpenDeviceOnly) {
    QByteArray data = QByteArray::fromStdString(FakeAudio(700) + MakeTag({}));
    QBuffer buffer(&data);
    Mp3Tag tag;
    EXPECT_FALSE(tag.Read(buffer));
    ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
    ASSERT_TRUE(tag.Read(buffer));
    EXPECT_EQ(tag.Artist(), "Some Band");

    QFile closed(Write("closed.mp3", FakeAudio(700) + MakeTag({})));
    EXPECT_FALSE(tag.Read(closed));
}

TEST_F(Mp3TagTest, ParseTakesExactlyOneTag) {
    const Bytes raw = MakeTag({});
    Mp3Tag tag;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(raw.data());
    EXPECT_FALSE(tag.Parse({bytes, 127}));
    EXPECT_TRUE(tag.Parse({bytes, 128}));
    EXPECT_EQ(tag.Title(), "Hello");
}

} // namespace
