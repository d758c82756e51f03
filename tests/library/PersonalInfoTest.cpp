// The profile record exports of the shared library.

#include "halvara.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

struct RecordDeleter {
    void operator()(PersonalInfo* info) const { PersonalInfo_Destroy(info); }
};
using Record = std::unique_ptr<PersonalInfo, RecordDeleter>;

Record Create() {
    return Record(PersonalInfo_Create());
}

TEST(PersonalInfoTest, CreateGivesAZeroedRecordWhoseFieldsSitAtTheirOffsets) {
    Record info = Create();
    ASSERT_NE(info, nullptr);
    const auto* bytes = reinterpret_cast<const unsigned char*>(info.get());
    for (std::size_t i = 0; i < 512; ++i)
        ASSERT_EQ(bytes[i], 0) << i;
    char* base = reinterpret_cast<char*>(info.get());
    EXPECT_EQ(PersonalInfo_GetName(info.get()), base);
    EXPECT_EQ(PersonalInfo_GetEMail(info.get()), base + 256);
    EXPECT_EQ(PersonalInfo_GetPassword(info.get()), base + 384);
}

TEST(PersonalInfoTest, NullRecordsAndTextsAreRefused) {
    EXPECT_EQ(PersonalInfo_GetName(nullptr), nullptr);
    EXPECT_EQ(PersonalInfo_GetEMail(nullptr), nullptr);
    EXPECT_EQ(PersonalInfo_GetPassword(nullptr), nullptr);
    EXPECT_EQ(PersonalInfo_SetName(nullptr, "x"), 0);
    EXPECT_EQ(PersonalInfo_SetEMail(nullptr, "x"), 0);
    EXPECT_EQ(PersonalInfo_SetPassword(nullptr, "x"), 0);
    PersonalInfo_Destroy(nullptr);

    Record info = Create();
    ASSERT_EQ(PersonalInfo_SetName(info.get(), "kept"), 1);
    EXPECT_EQ(PersonalInfo_SetName(info.get(), nullptr), 0);
    EXPECT_EQ(PersonalInfo_SetEMail(info.get(), nullptr), 0);
    EXPECT_EQ(PersonalInfo_SetPassword(info.get(), nullptr), 0);
    EXPECT_STREQ(PersonalInfo_GetName(info.get()), "kept");
    EXPECT_EQ(PersonalInfo_Copy(nullptr, info.get()), 0);
    EXPECT_EQ(PersonalInfo_Copy(info.get(), nullptr), 0);
    EXPECT_STREQ(PersonalInfo_GetName(info.get()), "kept");
}

// Each setter keeps at most width - 1 characters and never writes the field's
// last byte, even when that byte was spoiled by the caller.
TEST(PersonalInfoTest, SettersCutToTheFieldAndLeaveItsLastByteAlone) {
    struct Field {
        int (*set)(PersonalInfo*, const char*);
        char* (*get)(PersonalInfo*);
        std::size_t width;
    };
    const Field fields[] = {{&PersonalInfo_SetName, &PersonalInfo_GetName, 256},
                            {&PersonalInfo_SetEMail, &PersonalInfo_GetEMail, 128},
                            {&PersonalInfo_SetPassword, &PersonalInfo_GetPassword, 128}};
    const std::string longText(300, 'a');
    for (const Field& field : fields) {
        Record info = Create();
        ASSERT_EQ(field.set(info.get(), longText.c_str()), 1);
        char* text = field.get(info.get());
        EXPECT_EQ(std::string(text), longText.substr(0, field.width - 1));
        EXPECT_EQ(text[field.width - 1], 0);

        text[field.width - 1] = '#';
        ASSERT_EQ(field.set(info.get(), "short"), 1);
        EXPECT_STREQ(text, "short");
        // Padded with NUL up to the last byte, which is not touched.
        for (std::size_t i = 5; i < field.width - 1; ++i)
            ASSERT_EQ(text[i], 0) << i;
        EXPECT_EQ(text[field.width - 1], '#');
    }
}

TEST(PersonalInfoTest, SettersDoNotSpillIntoTheNextField) {
    Record info = Create();
    ASSERT_EQ(PersonalInfo_SetEMail(info.get(), "me@example.org"), 1);
    ASSERT_EQ(PersonalInfo_SetName(info.get(), std::string(300, 'n').c_str()), 1);
    ASSERT_EQ(PersonalInfo_SetPassword(info.get(), "pw"), 1);
    EXPECT_STREQ(PersonalInfo_GetEMail(info.get()), "me@example.org");
    ASSERT_EQ(PersonalInfo_SetEMail(info.get(), std::string(200, 'e').c_str()), 1);
    EXPECT_STREQ(PersonalInfo_GetPassword(info.get()), "pw");
}

TEST(PersonalInfoTest, CopyTakesAllThreeFields) {
    Record source = Create();
    Record destination = Create();
    PersonalInfo_SetName(source.get(), "Ann");
    PersonalInfo_SetEMail(source.get(), "ann@example.org");
    PersonalInfo_SetPassword(source.get(), "pw");
    PersonalInfo_SetName(destination.get(), "Overwritten name that is longer");
    ASSERT_EQ(PersonalInfo_Copy(source.get(), destination.get()), 1);
    EXPECT_EQ(std::memcmp(source.get(), destination.get(), sizeof(PersonalInfo)), 0);
    EXPECT_EQ(PersonalInfo_Copy(source.get(), source.get()), 1);
    EXPECT_STREQ(PersonalInfo_GetName(source.get()), "Ann");
}

} // namespace
