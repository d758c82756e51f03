#include "app/files/PatternMatcher.h"

#include <chrono>
#include <cstdint>
#include <gtest/gtest.h>
#include <regex.h>
#include <string>
#include <vector>

namespace {

bool Matches(const char* pattern, const char* subject, bool ignoreCase = false) {
    PatternMatcher matcher(pattern, ignoreCase);
    EXPECT_TRUE(matcher.IsValid()) << pattern << ": " << matcher.ErrorMessage();
    return matcher.Match(subject);
}

std::string CompileError(const std::string& pattern) {
    PatternMatcher matcher(pattern);
    EXPECT_FALSE(matcher.IsValid()) << pattern;
    return matcher.ErrorMessage();
}

TEST(PatternMatcherTest, AnchorsAndLiterals) {
    EXPECT_TRUE(Matches("^abc$", "abc"));
    EXPECT_FALSE(Matches("^abc$", "xabc"));
    EXPECT_FALSE(Matches("^abc$", "abcx"));
    EXPECT_TRUE(Matches("abc", "xabcx"));
    EXPECT_FALSE(Matches("abc", "xabx"));
    EXPECT_TRUE(Matches("^song", "songs"));
    EXPECT_FALSE(Matches("^song", "mysong"));
    EXPECT_TRUE(Matches("song$", "mysong"));
    EXPECT_FALSE(Matches("song$", "songs"));
    EXPECT_FALSE(Matches("song$", "ong"));
    EXPECT_TRUE(Matches("", "anything"));
    EXPECT_TRUE(Matches("^$", ""));
    EXPECT_FALSE(Matches("^$", "x"));
    EXPECT_FALSE(Matches("a^", "a"));
    // The literal is found at its leftmost place.
    PatternMatcher matcher("ab");
    const std::string subject = "xxabab";
    ASSERT_TRUE(matcher.Match(subject));
    std::string_view whole;
    ASSERT_TRUE(matcher.SubExpression(0, whole));
    EXPECT_EQ(whole, "ab");
    PatternMatcher tail("ab$");
    ASSERT_TRUE(tail.Match(subject));
    ASSERT_TRUE(tail.SubExpression(0, whole));
    EXPECT_EQ(whole, "ab");
}

// Patterns as the search builds them from queries over lower-cased names.
TEST(PatternMatcherTest, SearchQueryShapes) {
    EXPECT_TRUE(Matches("^song$", "song"));
    EXPECT_FALSE(Matches("^song$", "songs"));
    EXPECT_TRUE(Matches("^song", "songs"));
    EXPECT_TRUE(Matches("song", "mysongs"));
    EXPECT_TRUE(Matches("^a.b$", "axb"));
    EXPECT_FALSE(Matches("^a.b$", "ab"));
    EXPECT_TRUE(Matches("^a.b.*x$", "a-b and then x"));
    EXPECT_TRUE(Matches("^a.b.*x$", "a-bx"));
    EXPECT_FALSE(Matches("^a.b.*x$", "a-b and then y"));
    EXPECT_TRUE(Matches("^so*ng$", "sooong"));
    EXPECT_TRUE(Matches("^so*ng$", "sng"));
}

TEST(PatternMatcherTest, EveryCompileErrorHasItsMessage) {
    EXPECT_EQ(CompileError("a(b"), "unterminated ()");
    EXPECT_EQ(CompileError("(a(b)"), "unterminated ()");
    EXPECT_EQ(CompileError("a)b"), "unmatched ()");
    EXPECT_EQ(CompileError("(a))"), "unmatched ()");
    EXPECT_EQ(CompileError("*a"), "?+* follows nothing");
    EXPECT_EQ(CompileError("a|+b"), "?+* follows nothing");
    EXPECT_EQ(CompileError("(?a)"), "?+* follows nothing");
    EXPECT_EQ(CompileError("(a*)*"), "*+ operand could be empty");
    EXPECT_EQ(CompileError("(a|)+"), "*+ operand could be empty");
    EXPECT_EQ(CompileError("^*"), "*+ operand could be empty");
    EXPECT_EQ(CompileError("a**"), "nested *?+");
    EXPECT_EQ(CompileError("a+?"), "nested *?+");
    EXPECT_EQ(CompileError("[z-a]"), "invalid [] range");
    EXPECT_EQ(CompileError("[abc"), "unmatched []");
    EXPECT_EQ(CompileError("[]"), "unmatched []");
    EXPECT_EQ(CompileError("ab\\"), "trailing \\");
    EXPECT_EQ(CompileError("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)"), "too many ()");
    EXPECT_EQ(CompileError(std::string(40000, 'a')), "regexp too big");

    PatternMatcher nullPattern(static_cast<const char*>(nullptr));
    EXPECT_FALSE(nullPattern.IsValid());
    EXPECT_EQ(nullPattern.ErrorMessage(), "NULL argument to regcomp");
    EXPECT_EQ(nullPattern.ErrorCode(), PatternMatcher::kNullPattern);
    // A failed pattern matches nothing and keeps its own message.
    EXPECT_FALSE(nullPattern.Match("x"));
    EXPECT_EQ(nullPattern.ErrorMessage(), "NULL argument to regcomp");
}

TEST(PatternMatcherTest, LimitsThatStillCompile) {
    PatternMatcher nine("(a)(b)(c)(d)(e)(f)(g)(h)(i)");
    ASSERT_TRUE(nine.IsValid());
    EXPECT_TRUE(nine.Match("abcdefghi"));
    EXPECT_EQ(nine.GroupCount(), 9);
    EXPECT_TRUE(PatternMatcher(std::string(30000, 'a')).IsValid());
    EXPECT_TRUE(PatternMatcher("(a*)?").IsValid());
    EXPECT_TRUE(PatternMatcher("a||b").IsValid());
    EXPECT_TRUE(PatternMatcher("()").IsValid());
    EXPECT_TRUE(PatternMatcher("[a-a]").IsValid());
}

TEST(PatternMatcherTest, MessagesOfCodes) {
    EXPECT_STREQ(PatternMatcher::Message(1), "NULL argument to regexec");
    EXPECT_STREQ(PatternMatcher::Message(5), "internal error: bad call of regrepeat");
    EXPECT_STREQ(PatternMatcher::Message(15), "internal error: junk on end");
    EXPECT_STREQ(PatternMatcher::Message(20), "internal error: \\0|) unexpected");
    EXPECT_STREQ(PatternMatcher::Message(23), "internal error: strcspn 0");
    EXPECT_STREQ(PatternMatcher::Message(24), "NULL regexp");
    EXPECT_STREQ(PatternMatcher::Message(0), "Unknown error");
    EXPECT_STREQ(PatternMatcher::Message(25), "Unknown error");
    EXPECT_STREQ(PatternMatcher::Message(-3), "Unknown error");
}

TEST(PatternMatcherTest, MissingProgramOrSubject) {
    PatternMatcher none;
    EXPECT_FALSE(none.IsValid());
    EXPECT_FALSE(none.Match("abc"));
    EXPECT_EQ(none.ErrorMessage(), "NULL regexp");

    PatternMatcher matcher("a");
    EXPECT_FALSE(matcher.Match(static_cast<const char*>(nullptr)));
    EXPECT_EQ(matcher.ErrorMessage(), "NULL argument to regexec");
}

TEST(PatternMatcherTest, BracketLists) {
    EXPECT_TRUE(Matches("^[abc]$", "b"));
    EXPECT_FALSE(Matches("^[abc]$", "d"));
    EXPECT_TRUE(Matches("^[^abc]$", "d"));
    EXPECT_FALSE(Matches("^[^abc]$", "a"));
    EXPECT_FALSE(Matches("[^abc]", ""));
    EXPECT_TRUE(Matches("^[a-c]$", "b"));
    EXPECT_FALSE(Matches("^[a-c]$", "d"));
    // ] and - first, - last stand for themselves.
    EXPECT_TRUE(Matches("^[]x]$", "]"));
    EXPECT_TRUE(Matches("^[-a]$", "-"));
    EXPECT_TRUE(Matches("^[a-]$", "-"));
    EXPECT_FALSE(Matches("^[^]a]$", "]"));
    EXPECT_TRUE(Matches("^[^]a]$", "b"));
    // A second range starts where the first ended.
    EXPECT_TRUE(Matches("^[a-c-e]$", "d"));
    EXPECT_FALSE(Matches("^[a-c-e]$", "f"));
    // Special characters are plain inside a list.
    EXPECT_TRUE(Matches("^[.*]$", "*"));
    EXPECT_FALSE(Matches("^[.*]$", "x"));
    // Bytes above 127 work as list members and in ranges.
    EXPECT_TRUE(Matches("^[\xe0-\xef]$", "\xe9"));
}

TEST(PatternMatcherTest, RepetitionIsGreedyAndBacktracks) {
    EXPECT_TRUE(Matches("^a*ab$", "aaab"));
    EXPECT_TRUE(Matches("^(ab)+$", "ababab"));
    EXPECT_FALSE(Matches("^(ab)+$", "ababa"));
    EXPECT_FALSE(Matches("^(ab)+$", ""));
    EXPECT_TRUE(Matches("^(ab)*$", ""));
    EXPECT_TRUE(Matches("^colou?r$", "color"));
    EXPECT_TRUE(Matches("^colou?r$", "colour"));
    EXPECT_FALSE(Matches("^colou?r$", "colouur"));
    EXPECT_TRUE(Matches("^x(a|bc)*y$", "xabcbcay"));
    EXPECT_FALSE(Matches("^x(a|bc)*y$", "xabcby"));
    EXPECT_TRUE(Matches("^[0-9]+\\.mp3$", "0815.mp3"));
    EXPECT_FALSE(Matches("^[0-9]+\\.mp3$", ".mp3"));
    EXPECT_TRUE(Matches("^(a|ab)(c|bcd)(d*)$", "abcd"));

    PatternMatcher greedy("(a*)(a*)");
    ASSERT_TRUE(greedy.Match("aaa"));
    std::string_view first;
    std::string_view second;
    ASSERT_TRUE(greedy.SubExpression(1, first));
    ASSERT_TRUE(greedy.SubExpression(2, second));
    EXPECT_EQ(first, "aaa");
    EXPECT_EQ(second, "");
}

TEST(PatternMatcherTest, GroupsRecordTheirText) {
    PatternMatcher matcher("(a+)(b+)");
    ASSERT_TRUE(matcher.Match("xaabbbc"));
    std::string_view text;
    ASSERT_TRUE(matcher.SubExpression(0, text));
    EXPECT_EQ(text, "aabbb");
    ASSERT_TRUE(matcher.SubExpression(1, text));
    EXPECT_EQ(text, "aa");
    ASSERT_TRUE(matcher.SubExpression(2, text));
    EXPECT_EQ(text, "bbb");
    EXPECT_FALSE(matcher.SubExpression(3, text));
    EXPECT_EQ(matcher.GroupCount(), 2);

    // A repeated group holds its last pass; a group that took no part counts not.
    PatternMatcher repeated("^(a|b)*(x)?$");
    ASSERT_TRUE(repeated.Match("ab"));
    ASSERT_TRUE(repeated.SubExpression(1, text));
    EXPECT_EQ(text, "b");
    EXPECT_FALSE(repeated.SubExpression(2, text));
    EXPECT_EQ(repeated.GroupCount(), 1);

    EXPECT_FALSE(matcher.Match("ccc"));
    EXPECT_FALSE(matcher.SubExpression(0, text));
    EXPECT_EQ(matcher.GroupCount(), 0);
}

TEST(PatternMatcherTest, WordBoundariesAndEscapes) {
    EXPECT_TRUE(Matches("\\<song\\>", "my song here"));
    EXPECT_TRUE(Matches("\\<song\\>", "song"));
    EXPECT_FALSE(Matches("\\<song\\>", "mysong"));
    EXPECT_FALSE(Matches("\\<song\\>", "songs"));
    EXPECT_TRUE(Matches("\\<so", "a_b so"));
    EXPECT_FALSE(Matches("\\<so", "a_so"));
    EXPECT_TRUE(Matches("^a\\.b$", "a.b"));
    EXPECT_FALSE(Matches("^a\\.b$", "axb"));
    EXPECT_TRUE(Matches("^\\(x\\)$", "(x)"));
    EXPECT_TRUE(Matches("^a\\*$", "a*"));
    EXPECT_TRUE(Matches("^a\\\\$", "a\\"));
}

TEST(PatternMatcherTest, IgnoreCaseFoldsLettersOutsideLists) {
    EXPECT_TRUE(Matches("Song", "SONG", true));
    EXPECT_TRUE(Matches("^song$", "SoNg", true));
    EXPECT_FALSE(Matches("Song", "SONG", false));
    EXPECT_TRUE(Matches("^[A]$", "A", true));
    EXPECT_FALSE(Matches("^[A]$", "a", true));
    EXPECT_TRUE(Matches("^\\S$", "s", true));
    EXPECT_TRUE(Matches("^a.c$", "AXC", true));
    EXPECT_TRUE(Matches("^(ab)+$", "aBAb", true));
}

TEST(PatternMatcherTest, CopiesShareTheProgramButNotTheResults) {
    PatternMatcher original("(b+)");
    PatternMatcher copy = original;
    ASSERT_TRUE(original.Match("abbc"));
    ASSERT_TRUE(copy.Match("bbbbb"));
    std::string_view text;
    ASSERT_TRUE(original.SubExpression(1, text));
    EXPECT_EQ(text, "bb");
    ASSERT_TRUE(copy.SubExpression(1, text));
    EXPECT_EQ(text, "bbbbb");

    PatternMatcher moved = std::move(copy);
    EXPECT_TRUE(moved.IsValid());
    EXPECT_TRUE(moved.Match("b"));
}

TEST(PatternMatcherTest, SubstituteUsesTheLastMatch) {
    PatternMatcher matcher("([a-z]+)@([a-z]+)");
    ASSERT_TRUE(matcher.Match("mail joe@host now"));
    std::string result;
    ASSERT_TRUE(matcher.Substitute("\\2:\\1 [&] \\& \\\\", result));
    EXPECT_EQ(result, "host:joe [joe@host] & \\");
    EXPECT_FALSE(matcher.Substitute(static_cast<const char*>(nullptr), result));
    EXPECT_EQ(matcher.ErrorMessage(), "NULL parm to regsub");

    PatternMatcher none;
    EXPECT_FALSE(none.Substitute("&", result));
    EXPECT_EQ(none.ErrorMessage(), "damaged regexp fed to regsub");
}

// A hostile query must not hold the search server: exponential patterns end
// quickly with the right answer, and whatever is left is cut by the budget.
TEST(PatternMatcherTest, PathologicalPatternsFinishFast) {
    const std::string as(40, 'a');
    const auto start = std::chrono::steady_clock::now();

    PatternMatcher anchored("^(a|aa)*$");
    EXPECT_FALSE(anchored.Match(as + "c"));
    EXPECT_FALSE(anchored.BudgetExhausted());
    EXPECT_FALSE(anchored.Match(std::string(3000, 'a') + "c"));

    // The match at the very end is still found after all the failed starts.
    PatternMatcher floating("(a|aa)*b");
    EXPECT_FALSE(floating.Match(as + "c"));
    EXPECT_TRUE(floating.Match(as + "cb"));
    EXPECT_FALSE(floating.BudgetExhausted());

    PatternMatcher nested("^((a+)+)+$");
    EXPECT_FALSE(nested.Match(as + "!"));
    PatternMatcher stars("^(a|b|ab)*c$");
    ASSERT_TRUE(stars.IsValid());
    EXPECT_FALSE(stars.Match("abababababababababababababababababab!"));

    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(2));

    // The same patterns still answer normal subjects.
    EXPECT_TRUE(anchored.Match("aaaa"));
    EXPECT_TRUE(floating.Match("aab"));
    EXPECT_TRUE(nested.Match("aaaa"));
    EXPECT_TRUE(stars.Match("aabbbac"));
}

TEST(PatternMatcherTest, StepBudgetCountsAsNoMatch) {
    PatternMatcher matcher("^(a|aa)*$");
    matcher.SetStepBudget(500);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(matcher.Match(std::string(40, 'a') + "c"));
    EXPECT_TRUE(matcher.BudgetExhausted());
    // Even a subject that would match is refused once the budget is gone.
    EXPECT_FALSE(matcher.Match(std::string(2000, 'a')));
    EXPECT_TRUE(matcher.BudgetExhausted());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    matcher.SetStepBudget(PatternMatcher::kDefaultStepBudget);
    EXPECT_TRUE(matcher.Match(std::string(200, 'a')));
    EXPECT_FALSE(matcher.BudgetExhausted());
}

TEST(PatternMatcherTest, LongSubjectsStayWithinLimits) {
    std::string pairs;
    for (int i = 0; i < 200; ++i)
        pairs += "ab";
    EXPECT_TRUE(Matches("^(ab)*c$", (pairs + "c").c_str()));

    // A looping group over a very long subject ends on the recursion limit
    // instead of the end of the stack.
    std::string huge;
    for (int i = 0; i < 20000; ++i)
        huge += "ab";
    PatternMatcher matcher("^(ab)*c$");
    EXPECT_FALSE(matcher.Match(huge + "c"));
    EXPECT_TRUE(matcher.BudgetExhausted());

    // Simple repetitions need no recursion per character.
    EXPECT_TRUE(Matches("^a.*z$", ("a" + std::string(100000, 'q') + "z").c_str()));

    // Giving characters back costs steps too.
    PatternMatcher tight("^a*[cd]$");
    EXPECT_FALSE(tight.Match(std::string(5000, 'a') + "b"));
    EXPECT_FALSE(tight.BudgetExhausted());
    tight.SetStepBudget(10);
    EXPECT_FALSE(tight.Match(std::string(5000, 'a') + "b"));
    EXPECT_TRUE(tight.BudgetExhausted());
}

// The fast literal paths and the engine must agree with an independent
// implementation on the syntax both share.
TEST(PatternMatcherTest, AgreesWithPosixOnCommonSyntax) {
    const std::vector<std::string> atoms = {"a", "b", "ab", ".", "[ab]", "[^a]", "(ab)", "(a|b)"};
    const std::vector<std::string> repeats = {"", "", "*", "+", "?"};
    std::uint32_t seed = 12345;
    auto next = [&seed](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    int compared = 0;
    auto branch = [&] {
        std::string text;
        if (next(3) == 0)
            text += '^';
        const std::uint32_t pieces = 1 + next(3);
        for (std::uint32_t i = 0; i < pieces; ++i) {
            text += atoms[next(static_cast<std::uint32_t>(atoms.size()))];
            text += repeats[next(static_cast<std::uint32_t>(repeats.size()))];
        }
        if (next(3) == 0)
            text += '$';
        return text;
    };
    for (int round = 0; round < 400; ++round) {
        // Some patterns have two alternatives at the top.
        std::string pattern = branch();
        if (next(4) == 0)
            pattern += "|" + branch();

        PatternMatcher ours(pattern);
        ASSERT_TRUE(ours.IsValid()) << pattern << ": " << ours.ErrorMessage();
        regex_t posix;
        ASSERT_EQ(regcomp(&posix, pattern.c_str(), REG_EXTENDED | REG_NOSUB), 0) << pattern;
        for (int s = 0; s < 12; ++s) {
            std::string subject;
            // Some long subjects, where backtracking patterns start to remember
            // their failures.
            const std::uint32_t length = (s % 4 == 3) ? 20 + next(40) : next(7);
            for (std::uint32_t i = 0; i < length; ++i)
                subject += "abc"[next(3)];
            const bool expected = regexec(&posix, subject.c_str(), 0, nullptr, 0) == 0;
            EXPECT_EQ(ours.Match(subject), expected)
                << "pattern " << pattern << " subject " << subject;
            ++compared;
        }
        regfree(&posix);
    }
    EXPECT_EQ(compared, 400 * 12);
}

} // namespace
