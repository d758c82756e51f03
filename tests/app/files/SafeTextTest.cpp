#include "app/files/SafeText.h"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(SafeTextTest, ControlsOfEveryKindBecomeOneMarkEach) {
    // C0, DEL and a fake second line: an erase, a window title, a return.
    EXPECT_EQ(SafeText("a\x1b[2J\x1b]0;owned\x07\rNFSServer: x\x7f\t"),
              "a?[2J?]0;owned??NFSServer: x??");
    EXPECT_EQ(SafeText(std::string("nul\0here", 8)), "nul?here");
    // C1 written in UTF-8 (U+009B, the one-byte CSI) and as a lone Latin-1 byte.
    EXPECT_EQ(SafeText("\xc2\x9bm|\x9bm|\x85"), "?m|?m|?");
    // Line separators and direction overrides make a window show another name.
    EXPECT_EQ(SafeText("evil\xe2\x80\xaetxt.exe\xe2\x80\xa8\xe2\x81\xa6"), "evil?txt.exe??");
}

TEST(SafeTextTest, InvalidUtf8BecomesMarksAndValidTextIsKept) {
    // Overlong forms, a surrogate, past U+10FFFF, a cut sequence, a stray
    // continuation and a Latin-1 letter.
    EXPECT_EQ(SafeText("\xc0\xaf|\xe0\x80\xaf|\xed\xa0\x80|\xf4\x90\x80\x80|\xe2\x82|\xbf|caf\xe9"),
              "??|???|???|????|??|?|caf?");
    const std::string kept = "Caf\xc3\xa9 \xc2\xa0\xe2\x82\xac \xf0\x9f\x8e\xb5 /music/a b.mp3 ~!";
    EXPECT_EQ(SafeText(kept), kept);
    EXPECT_EQ(SafeText(""), "");
}

} // namespace
