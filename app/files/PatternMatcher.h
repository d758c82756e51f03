#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct PatternProgram;

// A compiled regular expression with the classic V8 regexp syntax: branches
// separated by |, pieces with *, + and ?, the atoms . ^ $ \< \> [list] [^list]
// (group) and \c for a literal c, at most nine groups. The search server
// compiles each query once and matches it against many lower-cased names.
//
// Copies share the compiled program; each copy keeps its own last subject and
// match positions, so one matcher per thread.
//
// Queries arrive from any peer on the network, and a plain backtracking engine
// can be driven into exponential time ("^(a|aa)*$" against forty a's and a c).
// A match that keeps backtracking remembers which node failed at which
// position, which makes it polynomial, and every Match also runs on a step
// budget: a match that exhausts it counts as no match, and BudgetExhausted()
// tells so.
class PatternMatcher {
public:
    // Error codes; Message() gives the text of each.
    enum Error : int {
        kNone = 0,
        kNullSubject = 1,
        kCorruptedRegexp = 2,
        kRegexpCorruption = 3,
        kCorruptedPointers = 4,
        kBadRepeatCall = 5,
        kCorruptedOpcode = 6,
        kNullSubstitution = 7,
        kDamagedRegexp = 8,
        kDamagedMatch = 9,
        kNullPattern = 10,
        kTooBig = 11,
        kTooManyGroups = 12,
        kUnterminatedGroup = 13,
        kUnmatchedGroup = 14,
        kJunkOnEnd = 15,
        kEmptyOperand = 16,
        kNestedRepeat = 17,
        kBadRange = 18,
        kUnmatchedBracket = 19,
        kUnexpectedEnd = 20,
        kRepeatFollowsNothing = 21,
        kTrailingBackslash = 22,
        kStrcspnZero = 23,
        kNoProgram = 24,
    };

    // Sub-expression 0 (the whole match) and groups 1 to 9.
    static constexpr int kSubExpressions = 10;
    // Node visits a single Match may spend: far more than any name or tag
    // field needs (a few thousand at most), small enough that a hostile query
    // costs well under a millisecond per subject.
    static constexpr std::size_t kDefaultStepBudget = 200000;

    // Compiles the pattern (text up to any NUL). With ignoreCase, letters
    // outside bracket lists match either case.
    explicit PatternMatcher(std::string_view pattern, bool ignoreCase = false);
    // A null pattern leaves the matcher invalid with "NULL argument to regcomp".
    explicit PatternMatcher(const char* pattern, bool ignoreCase = false);
    // No program at all: IsValid() is false and Match() says "NULL regexp".
    PatternMatcher();
    ~PatternMatcher();
    PatternMatcher(const PatternMatcher&);
    PatternMatcher& operator=(const PatternMatcher&);
    PatternMatcher(PatternMatcher&&) noexcept;
    PatternMatcher& operator=(PatternMatcher&&) noexcept;

    bool IsValid() const;

    // True when some substring of the subject matches. Records the subject and
    // the positions of the match and its groups.
    bool Match(std::string_view subject);
    // A null subject answers false with "NULL argument to regexec".
    bool Match(const char* subject);

    // Text of the last error, empty when there was none.
    const std::string& ErrorMessage() const { return m_error; }
    int ErrorCode() const { return m_errorCode; }
    static const char* Message(int code);

    // Whether the last Match gave up on its step budget.
    bool BudgetExhausted() const { return m_exhausted; }
    void SetStepBudget(std::size_t steps) { m_budget = steps; }

    // Groups matched by the last successful match (parenthesised groups that
    // took part in it).
    int GroupCount() const { return m_groupCount; }
    // Sub-expression `index` of the last successful match; false when it did
    // not take part.
    bool SubExpression(int index, std::string_view& text) const;

    // Copies `source` to `result`, replacing & by the whole match, \0 to \9 by
    // the sub-expressions and \& or \\ by the character itself.
    bool Substitute(std::string_view source, std::string& result);
    bool Substitute(const char* source, std::string& result);

private:
    void SetError(int code);
    bool RunMatch(std::string_view subject);

    std::shared_ptr<const PatternProgram> m_program;
    std::string m_subject;
    std::string m_error;
    int m_errorCode = kNone;
    std::size_t m_budget = kDefaultStepBudget;
    bool m_exhausted = false;
    bool m_matched = false;
    // Compilation was tried and failed (as opposed to no pattern at all).
    bool m_compileFailed = false;
    int m_groupCount = 0;
    // Offsets into m_subject; -1 when the sub-expression did not take part.
    std::ptrdiff_t m_start[kSubExpressions];
    std::ptrdiff_t m_end[kSubExpressions];
};
