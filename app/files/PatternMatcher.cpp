#include "app/files/PatternMatcher.h"

#include "app/files/PatternProgram.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr std::array<const char*, 25> kMessages = {
    "",
    "NULL argument to regexec",
    "corrupted regexp",
    "regexp corruption",
    "corrupted pointers",
    "internal error: bad call of regrepeat",
    "corrupted opcode",
    "NULL parm to regsub",
    "damaged regexp fed to regsub",
    "damaged match string",
    "NULL argument to regcomp",
    "regexp too big",
    "too many ()",
    "unterminated ()",
    "unmatched ()",
    "internal error: junk on end",
    "*+ operand could be empty",
    "nested *?+",
    "invalid [] range",
    "unmatched []",
    "internal error: \\0|) unexpected",
    "?+* follows nothing",
    "trailing \\",
    "internal error: strcspn 0",
    "NULL regexp",
};

// Recursion of the engine grows with the subject for looping groups; the cap
// keeps a hostile pattern and a long subject off the end of the stack. Hitting
// it counts like an exhausted budget.
constexpr int kMaxDepth = 4000;

// Whether the rest of the program matches from a node at a position depends on
// nothing else (there are no back-references), so a failure, once seen, can be
// remembered. Ordinary matches end long before it pays to set this up; a match
// that keeps backtracking switches it on and becomes polynomial instead of
// exponential. The table is one bit per node and position, within a cap.
constexpr std::size_t kMemoAfterSteps = 2000;
constexpr std::size_t kMemoMaxBits = std::size_t(1) << 22;

bool IsWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Leftmost occurrence of a literal. Names are short, so a memchr for the
// first character and a compare beat a general substring search.
const char* FindLiteral(const char* begin, const char* end, std::string_view literal) {
    if (literal.empty())
        return begin;
    if (static_cast<std::size_t>(end - begin) < literal.size())
        return nullptr;
    const char first = literal[0];
    const char* rest = literal.data() + 1;
    const std::size_t restLength = literal.size() - 1;
    const char* last = end - literal.size();
    for (const char* p = begin; p <= last; ++p) {
        p = static_cast<const char*>(std::memchr(p, first, static_cast<std::size_t>(last - p) + 1));
        if (p == nullptr)
            return nullptr;
        if (std::memcmp(p + 1, rest, restLength) == 0)
            return p;
    }
    return nullptr;
}

// One backtracking run of a program over one subject: greedy repetitions that
// give characters back one at a time, alternatives tried left to right.
class Engine {
public:
    Engine(const PatternProgram& program, const char* begin, const char* end, std::size_t budget,
           std::ptrdiff_t* starts, std::ptrdiff_t* ends)
        : m_program(program)
        , m_nodes(program.nodes)
        , m_begin(begin)
        , m_end(end)
        , m_budget(budget)
        , m_starts(starts)
        , m_ends(ends) {}

    bool Try(const char* at) {
        for (int i = 0; i < PatternMatcher::kSubExpressions; ++i) {
            m_starts[i] = -1;
            m_ends[i] = -1;
        }
        m_input = at;
        if (!Run(0))
            return false;
        m_starts[0] = at - m_begin;
        m_ends[0] = m_input - m_begin;
        return true;
    }

    bool Exhausted() const { return m_exhausted; }
    bool Corrupted() const { return m_corrupted; }

private:
    bool Spend() {
        if (++m_steps > m_budget)
            m_exhausted = true;
        return !m_exhausted;
    }

    bool MemoReady() {
        if (m_memoOn)
            return true;
        if (m_steps < kMemoAfterSteps || m_memoRefused)
            return false;
        const std::size_t bits = m_nodes.size() * m_positions;
        if (m_positions == 0 || bits / m_positions != m_nodes.size() || bits > kMemoMaxBits) {
            m_memoRefused = true;
            return false;
        }
        m_memo.assign((bits + 63) / 64, 0);
        m_memoOn = true;
        return true;
    }

    bool Run(int scan) {
        if (m_exhausted || m_corrupted)
            return false;
        if (m_depth >= kMaxDepth) {
            m_exhausted = true;
            return false;
        }
        const bool memo = scan >= 0 && MemoReady();
        std::size_t key = 0;
        if (memo) {
            key = static_cast<std::size_t>(scan) * m_positions +
                  static_cast<std::size_t>(m_input - m_begin);
            if ((m_memo[key >> 6] >> (key & 63)) & 1u)
                return false;
        }
        ++m_depth;
        const bool matched = RunChain(scan);
        --m_depth;
        // A run cut short by the budget or the depth limit proves nothing.
        if (memo && !matched && !m_exhausted && !m_corrupted)
            m_memo[key >> 6] |= std::uint64_t(1) << (key & 63);
        return matched;
    }

    const PatternNode& NodeAt(int index) const { return m_nodes[static_cast<std::size_t>(index)]; }

    // How many times the simple operand matches from the current position on.
    std::size_t Repeat(int operand) const {
        const PatternNode& node = NodeAt(operand);
        const char* p = m_input;
        switch (node.op) {
        case PatternOp::Any:
            return static_cast<std::size_t>(m_end - p);
        case PatternOp::Exactly: {
            const char c = m_program.literals[node.arg];
            while (p < m_end && *p == c)
                ++p;
            break;
        }
        case PatternOp::AnyOf: {
            const CharSet& set = m_program.sets[node.arg];
            while (p < m_end && set.Has(static_cast<unsigned char>(*p)))
                ++p;
            break;
        }
        default:
            break;
        }
        return static_cast<std::size_t>(p - m_input);
    }

    bool RunChain(int scan) {
        while (scan >= 0) {
            if (!Spend())
                return false;
            const PatternNode& node = NodeAt(scan);
            int next = m_program.Next(scan);
            switch (node.op) {
            case PatternOp::Bol:
                if (m_input != m_begin)
                    return false;
                break;
            case PatternOp::Eol:
                if (m_input != m_end)
                    return false;
                break;
            case PatternOp::WordA:
                if (m_input == m_end || !IsWordChar(*m_input))
                    return false;
                if (m_input > m_begin && IsWordChar(m_input[-1]))
                    return false;
                break;
            case PatternOp::WordZ:
                if (m_input != m_end && IsWordChar(*m_input))
                    return false;
                break;
            case PatternOp::Any:
                if (m_input == m_end)
                    return false;
                ++m_input;
                break;
            case PatternOp::Exactly: {
                const std::string_view literal = m_program.Literal(node);
                if (static_cast<std::size_t>(m_end - m_input) < literal.size() ||
                    std::memcmp(m_input, literal.data(), literal.size()) != 0)
                    return false;
                m_input += literal.size();
                break;
            }
            case PatternOp::AnyOf:
                if (m_input == m_end ||
                    !m_program.sets[node.arg].Has(static_cast<unsigned char>(*m_input)))
                    return false;
                ++m_input;
                break;
            case PatternOp::Nothing:
            case PatternOp::Back:
                break;
            case PatternOp::Open: {
                const char* save = m_input;
                if (!Run(next))
                    return false;
                // The innermost (last) pass of a repeated group sets it first.
                if (m_starts[node.group] < 0)
                    m_starts[node.group] = save - m_begin;
                return true;
            }
            case PatternOp::Close: {
                const char* save = m_input;
                if (!Run(next))
                    return false;
                if (m_ends[node.group] < 0)
                    m_ends[node.group] = save - m_begin;
                return true;
            }
            case PatternOp::Branch: {
                if (next < 0 || NodeAt(next).op != PatternOp::Branch) {
                    // Only one choice: go on without recursion.
                    next = scan + 1;
                    break;
                }
                do {
                    const char* save = m_input;
                    if (Run(scan + 1))
                        return true;
                    m_input = save;
                    if (m_exhausted || m_corrupted)
                        return false;
                    scan = m_program.Next(scan);
                } while (scan >= 0 && NodeAt(scan).op == PatternOp::Branch);
                return false;
            }
            case PatternOp::Star:
            case PatternOp::Plus: {
                // A literal that must follow lets most give-backs be skipped
                // without a recursive attempt.
                int follow = -1;
                if (next >= 0 && NodeAt(next).op == PatternOp::Exactly)
                    follow = static_cast<unsigned char>(m_program.literals[NodeAt(next).arg]);
                const std::size_t minimum = node.op == PatternOp::Star ? 0 : 1;
                const char* save = m_input;
                std::size_t count = Repeat(scan + 1);
                while (count >= minimum) {
                    m_input = save + count;
                    if (follow < 0 ||
                        (m_input < m_end && static_cast<unsigned char>(*m_input) == follow)) {
                        if (Run(next))
                            return true;
                        if (m_exhausted || m_corrupted)
                            return false;
                    }
                    if (count == 0 || !Spend())
                        return false;
                    --count;
                }
                return false;
            }
            case PatternOp::End:
                return true;
            default:
                m_corrupted = true;
                return false;
            }
            scan = next;
        }
        // A chain that ends without End.
        m_corrupted = true;
        return false;
    }

    const PatternProgram& m_program;
    const std::vector<PatternNode>& m_nodes;
    const char* m_begin;
    const char* m_end;
    const char* m_input = nullptr;
    std::size_t m_budget;
    std::size_t m_steps = 0;
    int m_depth = 0;
    bool m_exhausted = false;
    bool m_corrupted = false;
    std::ptrdiff_t* m_starts;
    std::ptrdiff_t* m_ends;
    std::size_t m_positions = static_cast<std::size_t>(m_end - m_begin) + 1;
    bool m_memoOn = false;
    bool m_memoRefused = false;
    std::vector<std::uint64_t> m_memo;
};

} // namespace

PatternMatcher::PatternMatcher() {
    for (int i = 0; i < kSubExpressions; ++i)
        m_start[i] = m_end[i] = -1;
}

PatternMatcher::PatternMatcher(std::string_view pattern, bool ignoreCase)
    : PatternMatcher() {
    // The pattern is text: it ends at its first NUL.
    const std::size_t nul = pattern.find('\0');
    if (nul != std::string_view::npos)
        pattern = pattern.substr(0, nul);
    auto program = std::make_shared<PatternProgram>();
    const int error = CompilePattern(pattern, ignoreCase, *program);
    if (error != 0) {
        m_compileFailed = true;
        SetError(error);
        return;
    }
    m_program = std::move(program);
}

PatternMatcher::PatternMatcher(const char* pattern, bool ignoreCase)
    : PatternMatcher() {
    if (pattern == nullptr) {
        m_compileFailed = true;
        SetError(kNullPattern);
        return;
    }
    *this = PatternMatcher(std::string_view(pattern), ignoreCase);
}

PatternMatcher::~PatternMatcher() = default;
PatternMatcher::PatternMatcher(const PatternMatcher&) = default;
PatternMatcher& PatternMatcher::operator=(const PatternMatcher&) = default;
PatternMatcher::PatternMatcher(PatternMatcher&&) noexcept = default;
PatternMatcher& PatternMatcher::operator=(PatternMatcher&&) noexcept = default;

bool PatternMatcher::IsValid() const {
    return m_program != nullptr;
}

const char* PatternMatcher::Message(int code) {
    if (code <= 0 || code >= static_cast<int>(kMessages.size()))
        return "Unknown error";
    return kMessages[static_cast<std::size_t>(code)];
}

void PatternMatcher::SetError(int code) {
    m_errorCode = code;
    m_error = Message(code);
}

bool PatternMatcher::Match(const char* subject) {
    if (subject == nullptr) {
        m_matched = false;
        m_exhausted = false;
        SetError(kNullSubject);
        return false;
    }
    return Match(std::string_view(subject));
}

bool PatternMatcher::Match(std::string_view subject) {
    m_matched = false;
    m_exhausted = false;
    m_groupCount = 0;
    if (!m_program) {
        // A failed compilation keeps its own message.
        if (!m_compileFailed)
            SetError(kNoProgram);
        return false;
    }
    // The engine compares through the subject's pointer, never a null one.
    if (subject.data() == nullptr)
        subject = std::string_view("", 0);
    // The subject is kept only when it matched: nothing reads it otherwise,
    // and most names of a search do not match.
    if (!RunMatch(subject))
        return false;
    m_matched = true;
    m_subject.assign(subject);
    for (int i = 1; i <= m_program->groupCount && i < kSubExpressions; ++i) {
        if (m_start[i] >= 0 && m_end[i] >= m_start[i])
            ++m_groupCount;
    }
    return true;
}

bool PatternMatcher::RunMatch(std::string_view subject) {
    const PatternProgram& program = *m_program;
    const char* begin = subject.data();
    const char* end = begin + subject.size();

    if (program.shape == PatternShape::Literal) {
        // Literal programs have no groups; only the whole match is recorded.
        const std::string_view literal = program.literal;
        std::ptrdiff_t at = -1;
        if (program.literalAtStart && program.literalAtEnd) {
            if (subject == literal)
                at = 0;
        } else if (program.literalAtStart) {
            if (subject.starts_with(literal))
                at = 0;
        } else if (program.literalAtEnd) {
            if (subject.ends_with(literal))
                at = static_cast<std::ptrdiff_t>(subject.size() - literal.size());
        } else if (const char* found = FindLiteral(begin, end, literal)) {
            at = found - begin;
        }
        if (at < 0)
            return false;
        m_start[0] = at;
        m_end[0] = at + static_cast<std::ptrdiff_t>(literal.size());
        return true;
    }

    if (!program.prefix.empty() && !subject.starts_with(program.prefix))
        return false;
    if (!program.suffix.empty() && !subject.ends_with(program.suffix))
        return false;
    // An anchored program is tried once; checking for the required literal
    // first would cost more than the single attempt saves.
    if (!program.anchored && !program.must.empty() &&
        FindLiteral(begin, end, program.must) == nullptr)
        return false;
    Engine engine(program, begin, end, m_budget, m_start, m_end);
    bool matched = false;
    if (program.anchored) {
        matched = engine.Try(begin);
    } else if (program.firstChar >= 0) {
        const char first = static_cast<char>(program.firstChar);
        for (const char* s = begin; s < end && !matched && !engine.Exhausted();) {
            s = static_cast<const char*>(std::memchr(s, first, static_cast<std::size_t>(end - s)));
            if (s == nullptr)
                break;
            matched = engine.Try(s);
            ++s;
        }
    } else {
        // Every position, the end of the subject included (an empty match).
        for (const char* s = begin; !matched && !engine.Exhausted() && !engine.Corrupted(); ++s) {
            matched = engine.Try(s);
            if (s == end)
                break;
        }
    }
    if (engine.Corrupted()) {
        SetError(kCorruptedPointers);
        return false;
    }
    if (!matched) {
        m_exhausted = engine.Exhausted();
        return false;
    }
    return true;
}

bool PatternMatcher::SubExpression(int index, std::string_view& text) const {
    if (!m_matched || index < 0 || index >= kSubExpressions || m_start[index] < 0 ||
        m_end[index] < m_start[index])
        return false;
    text =
        std::string_view(m_subject).substr(static_cast<std::size_t>(m_start[index]),
                                           static_cast<std::size_t>(m_end[index] - m_start[index]));
    return true;
}

bool PatternMatcher::Substitute(const char* source, std::string& result) {
    if (source == nullptr) {
        SetError(kNullSubstitution);
        return false;
    }
    return Substitute(std::string_view(source), result);
}

bool PatternMatcher::Substitute(std::string_view source, std::string& result) {
    if (!m_program) {
        SetError(kDamagedRegexp);
        return false;
    }
    result.clear();
    for (std::size_t i = 0; i < source.size(); ++i) {
        char c = source[i];
        int number = -1;
        if (c == '&') {
            number = 0;
        } else if (c == '\\' && i + 1 < source.size() && source[i + 1] >= '0' &&
                   source[i + 1] <= '9') {
            number = source[++i] - '0';
        }
        if (number < 0) {
            if (c == '\\' && i + 1 < source.size() &&
                (source[i + 1] == '\\' || source[i + 1] == '&'))
                c = source[++i];
            result += c;
            continue;
        }
        std::string_view part;
        if (SubExpression(number, part))
            result.append(part);
    }
    return true;
}
