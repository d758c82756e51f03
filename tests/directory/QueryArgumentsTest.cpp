#include "directory/QueryArguments.h"

#include <gtest/gtest.h>

namespace {

using halvdir::SplitQueryArguments;

TEST(QueryArguments, SplitsOnPlusAndDecodesEachPiece) {
    auto args = SplitQueryArguments("12+Ann%20Lee+a%2Bb%40x.org+%25%26%23", 8);
    ASSERT_TRUE(args);
    EXPECT_EQ(*args, (std::vector<std::string>{"12", "Ann Lee", "a+b@x.org", "%&#"}));
    EXPECT_EQ(SplitQueryArguments("", 8)->size(), 0u);
    EXPECT_EQ(*SplitQueryArguments("+", 8), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(*SplitQueryArguments("%c3%A9", 8), (std::vector<std::string>{"\xc3\xa9"}));
}

TEST(QueryArguments, RefusesBrokenEscapesAndTooManyPieces) {
    for (const char* query : {"%", "a%", "a%4", "%4g", "%g4", "ok+%%41"})
        EXPECT_FALSE(SplitQueryArguments(query, 8)) << query;
    EXPECT_TRUE(SplitQueryArguments("1+2+3", 3));
    EXPECT_FALSE(SplitQueryArguments("1+2+3+4", 3));
}

TEST(QueryArguments, LeadingSplitKeepsPlusInTheLastArgument) {
    EXPECT_EQ(*halvdir::SplitLeadingArguments("a+b@x.org", 1),
              (std::vector<std::string>{"a+b@x.org"}));
    EXPECT_EQ(*halvdir::SplitLeadingArguments("7+pa+ss%20word", 2),
              (std::vector<std::string>{"7", "pa+ss word"}));
    EXPECT_EQ(*halvdir::SplitLeadingArguments("7", 2), (std::vector<std::string>{"7"}));
    EXPECT_EQ(halvdir::SplitLeadingArguments("", 2)->size(), 0u);
    EXPECT_FALSE(halvdir::SplitLeadingArguments("7+pa%2", 2));
}

TEST(QueryArguments, NumbersArePlainDecimal32Bit) {
    EXPECT_EQ(halvdir::ParseInt32("0"), 0);
    EXPECT_EQ(halvdir::ParseInt32("155"), 155);
    EXPECT_EQ(halvdir::ParseInt32("-1"), -1);
    EXPECT_EQ(halvdir::ParseInt32("2147483647"), 2147483647);
    EXPECT_EQ(halvdir::ParseInt32("-2147483648"), INT32_MIN);
    for (const char* bad : {"", "-", "+1", " 1", "1 ", "2147483648", "-2147483649", "0x1", "1e3",
                            "12345678901", "--1", "1-"})
        EXPECT_FALSE(halvdir::ParseInt32(bad)) << bad;
}

TEST(QueryArguments, DottedQuadsOnly) {
    for (const char* good : {"0.0.0.0", "127.0.0.1", "255.255.255.255", "10.0.0.01"})
        EXPECT_TRUE(halvdir::IsDottedQuad(good)) << good;
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "256.1.1.1", "1..2.3", "a.b.c.d",
                            " 1.2.3.4", "1.2.3.4 ", "1.2.3.-4", "0127.0.0.1"})
        EXPECT_FALSE(halvdir::IsDottedQuad(bad)) << bad;
}

TEST(QueryArguments, ControlBytesAndCaseAndBlanks) {
    EXPECT_TRUE(halvdir::HasControlBytes(std::string("a\0b", 3)));
    EXPECT_TRUE(halvdir::HasControlBytes("a\nb"));
    EXPECT_TRUE(halvdir::HasControlBytes("\x7f"));
    EXPECT_FALSE(halvdir::HasControlBytes("Ann Lee \xe9"));
    EXPECT_EQ(halvdir::ToLower("Ann@Example.ORG"), "ann@example.org");
    EXPECT_EQ(halvdir::TrimBlanks(" \tann@x \t"), "ann@x");
    EXPECT_EQ(halvdir::TrimBlanks("   "), "");
}

} // namespace
