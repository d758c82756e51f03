#include "app/files/PatternMatcher.h"
#include "app/files/PatternProgram.h"

#include <cstring>

namespace {

// Flags a parsed piece passes upwards.
constexpr int kHasWidth = 1; // never matches the empty string
constexpr int kSimple = 2;   // one character wide: a Star or Plus can count it
constexpr int kSpStart = 4;  // starts with * or +

constexpr std::size_t kClassicNodeSize = 3;
constexpr std::size_t kSizeLimit = 32767;
constexpr int kMaxGroups = 9;

bool IsRepeat(char c) {
    return c == '*' || c == '+' || c == '?';
}
bool IsMeta(char c) {
    return std::strchr("^$.[()|?+*\\", c) != nullptr && c != '\0';
}
bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}
char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

// With ignore case every letter outside a bracket list becomes the list of
// its two forms ([xX]); letters inside lists stay as written, so [A] still
// means the capital letter only. An escaped letter is a literal letter, so it
// gets the list too (the backslash would otherwise escape the bracket).
std::string FoldCase(std::string_view pattern) {
    std::string out;
    out.reserve(pattern.size() * 4 + 1);
    std::size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i];
        if (c == '\\' && i + 1 < pattern.size()) {
            const char escaped = pattern[i + 1];
            if (IsLetter(escaped)) {
                out += '[';
                out += Lower(escaped);
                out += Upper(escaped);
                out += ']';
            } else {
                out += c;
                out += escaped;
            }
            i += 2;
        } else if (c == '[') {
            // Copy the whole list unchanged, with the same rules the parser
            // uses for where it ends.
            std::size_t j = i + 1;
            if (j < pattern.size() && pattern[j] == '^')
                ++j;
            if (j < pattern.size() && (pattern[j] == ']' || pattern[j] == '-'))
                ++j;
            while (j < pattern.size() && pattern[j] != ']')
                ++j;
            if (j < pattern.size())
                ++j;
            out.append(pattern.substr(i, j - i));
            i = j;
        } else if (IsLetter(c)) {
            out += '[';
            out += Lower(c);
            out += Upper(c);
            out += ']';
            ++i;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

// Recursive-descent parser that emits the node program directly. Pieces are
// emitted first and wrapped afterwards (a repetition inserts its node in front
// of its operand), which is why links between nodes are relative.
class Compiler {
public:
    Compiler(std::string_view pattern, PatternProgram& program)
        : m_pattern(pattern)
        , m_program(program) {}

    int Run() {
        m_program.classicSize = 1; // the classic layout's leading magic byte
        int flags = 0;
        if (Reg(false, flags) < 0)
            return m_error;
        if (m_program.classicSize >= kSizeLimit)
            return PatternMatcher::kTooBig;
        return 0;
    }

private:
    std::vector<PatternNode>& Nodes() { return m_program.nodes; }
    char Peek() const { return m_pos < m_pattern.size() ? m_pattern[m_pos] : '\0'; }
    bool AtEnd() const { return m_pos >= m_pattern.size(); }

    int Fail(int code) {
        if (m_error == 0)
            m_error = code;
        return -1;
    }

    int Emit(PatternOp op, std::uint8_t group = 0) {
        PatternNode node;
        node.op = op;
        node.group = group;
        Nodes().push_back(node);
        m_program.classicSize += kClassicNodeSize;
        return static_cast<int>(Nodes().size()) - 1;
    }

    // Puts a node in front of the operand that starts at `at`. Nothing before
    // `at` links into the operand yet, so shifting it keeps every link valid.
    void Insert(PatternOp op, int at) {
        PatternNode node;
        node.op = op;
        Nodes().insert(Nodes().begin() + at, node);
        m_program.classicSize += kClassicNodeSize;
    }

    // Links the last node of the chain that starts at `p` to `target`.
    void Tail(int p, int target) {
        int scan = p;
        for (;;) {
            const int next = m_program.Next(scan);
            if (next < 0)
                break;
            scan = next;
        }
        Nodes()[static_cast<std::size_t>(scan)].next = target - scan;
    }

    // Tail on the operand of a Branch node; nothing for other nodes.
    void OpTail(int p, int target) {
        if (Nodes()[static_cast<std::size_t>(p)].op != PatternOp::Branch)
            return;
        Tail(p + 1, target);
    }

    // regular expression: branch | branch ...; parenthesised when `paren`.
    int Reg(bool paren, int& flags) {
        flags = kHasWidth;
        int ret = -1;
        std::uint8_t group = 0;
        if (paren) {
            if (m_program.groupCount >= kMaxGroups)
                return Fail(PatternMatcher::kTooManyGroups);
            group = static_cast<std::uint8_t>(++m_program.groupCount);
            ret = Emit(PatternOp::Open, group);
        }
        int branchFlags = 0;
        int br = Branch(branchFlags);
        if (br < 0)
            return -1;
        if (ret >= 0)
            Tail(ret, br);
        else
            ret = br;
        if (!(branchFlags & kHasWidth))
            flags &= ~kHasWidth;
        flags |= branchFlags & kSpStart;
        while (Peek() == '|' && !AtEnd()) {
            ++m_pos;
            br = Branch(branchFlags);
            if (br < 0)
                return -1;
            Tail(ret, br);
            if (!(branchFlags & kHasWidth))
                flags &= ~kHasWidth;
            flags |= branchFlags & kSpStart;
        }
        const int ender = Emit(paren ? PatternOp::Close : PatternOp::End, group);
        Tail(ret, ender);
        for (int b = ret; b >= 0; b = m_program.Next(b))
            OpTail(b, ender);
        if (paren) {
            if (AtEnd() || Peek() != ')')
                return Fail(PatternMatcher::kUnterminatedGroup);
            ++m_pos;
        } else if (!AtEnd()) {
            return Fail(Peek() == ')' ? PatternMatcher::kUnmatchedGroup
                                      : PatternMatcher::kJunkOnEnd);
        }
        return ret;
    }

    // One alternative: a sequence of pieces, possibly empty.
    int Branch(int& flags) {
        flags = 0;
        const int ret = Emit(PatternOp::Branch);
        int chain = -1;
        while (!AtEnd() && Peek() != '|' && Peek() != ')') {
            int pieceFlags = 0;
            const int latest = Piece(pieceFlags);
            if (latest < 0)
                return -1;
            flags |= pieceFlags & kHasWidth;
            if (chain < 0)
                flags |= pieceFlags & kSpStart;
            else
                Tail(chain, latest);
            chain = latest;
        }
        if (chain < 0)
            Emit(PatternOp::Nothing);
        return ret;
    }

    // An atom, optionally followed by *, + or ?.
    int Piece(int& flags) {
        int atomFlags = 0;
        const int ret = Atom(atomFlags);
        if (ret < 0)
            return -1;
        const char op = Peek();
        if (AtEnd() || !IsRepeat(op)) {
            flags = atomFlags;
            return ret;
        }
        if (!(atomFlags & kHasWidth) && op != '?')
            return Fail(PatternMatcher::kEmptyOperand);
        flags = (op != '+') ? kSpStart : kHasWidth;

        if (op == '*' && (atomFlags & kSimple)) {
            Insert(PatternOp::Star, ret);
        } else if (op == '*') {
            // x* becomes (x loop-back | empty).
            Insert(PatternOp::Branch, ret);
            OpTail(ret, Emit(PatternOp::Back));
            OpTail(ret, ret);
            Tail(ret, Emit(PatternOp::Branch));
            Tail(ret, Emit(PatternOp::Nothing));
        } else if (op == '+' && (atomFlags & kSimple)) {
            Insert(PatternOp::Plus, ret);
        } else if (op == '+') {
            // x+ becomes x (loop-back | empty).
            const int next = Emit(PatternOp::Branch);
            Tail(ret, next);
            Tail(Emit(PatternOp::Back), ret);
            Tail(next, Emit(PatternOp::Branch));
            Tail(ret, Emit(PatternOp::Nothing));
        } else {
            // x? becomes (x | empty).
            Insert(PatternOp::Branch, ret);
            Tail(ret, Emit(PatternOp::Branch));
            const int next = Emit(PatternOp::Nothing);
            Tail(ret, next);
            OpTail(ret, next);
        }
        ++m_pos;
        if (!AtEnd() && IsRepeat(Peek()))
            return Fail(PatternMatcher::kNestedRepeat);
        return ret;
    }

    int EmitLiteral(std::string_view text) {
        const int node = Emit(PatternOp::Exactly);
        PatternNode& n = Nodes()[static_cast<std::size_t>(node)];
        n.arg = static_cast<std::uint32_t>(m_program.literals.size());
        n.length = static_cast<std::uint32_t>(text.size());
        m_program.literals.append(text);
        m_program.classicSize += text.size() + 1;
        return node;
    }

    int Atom(int& flags) {
        flags = 0;
        const char c = m_pattern[m_pos++];
        switch (c) {
        case '^':
            return Emit(PatternOp::Bol);
        case '$':
            return Emit(PatternOp::Eol);
        case '.':
            flags |= kHasWidth | kSimple;
            return Emit(PatternOp::Any);
        case '[':
            flags |= kHasWidth | kSimple;
            return Bracket();
        case '(': {
            int groupFlags = 0;
            const int ret = Reg(true, groupFlags);
            if (ret < 0)
                return -1;
            flags |= groupFlags & (kHasWidth | kSpStart);
            return ret;
        }
        case '|':
        case ')':
            // The branch loop stops in front of these.
            return Fail(PatternMatcher::kUnexpectedEnd);
        case '?':
        case '+':
        case '*':
            return Fail(PatternMatcher::kRepeatFollowsNothing);
        case '\\': {
            if (AtEnd())
                return Fail(PatternMatcher::kTrailingBackslash);
            const char escaped = m_pattern[m_pos++];
            if (escaped == '<')
                return Emit(PatternOp::WordA);
            if (escaped == '>')
                return Emit(PatternOp::WordZ);
            flags |= kHasWidth | kSimple;
            return EmitLiteral(std::string_view(&escaped, 1));
        }
        default: {
            // A literal run up to the next special character; the run leaves
            // its last character to a repetition that follows it.
            --m_pos;
            std::size_t length = 0;
            while (m_pos + length < m_pattern.size() && !IsMeta(m_pattern[m_pos + length]))
                ++length;
            if (length == 0)
                return Fail(PatternMatcher::kStrcspnZero);
            const std::size_t after = m_pos + length;
            if (length > 1 && after < m_pattern.size() && IsRepeat(m_pattern[after]))
                --length;
            flags |= kHasWidth;
            if (length == 1)
                flags |= kSimple;
            const int node = EmitLiteral(m_pattern.substr(m_pos, length));
            m_pos += length;
            return node;
        }
        }
    }

    // [list] or [^list]; the opening bracket is consumed.
    int Bracket() {
        CharSet set;
        bool negate = false;
        std::size_t listed = 0;
        auto add = [&](unsigned char ch) {
            set.Add(ch);
            ++listed;
        };
        if (Peek() == '^' && !AtEnd()) {
            negate = true;
            ++m_pos;
        }
        if (!AtEnd() && (Peek() == ']' || Peek() == '-'))
            add(static_cast<unsigned char>(m_pattern[m_pos++]));
        while (!AtEnd() && Peek() != ']') {
            if (Peek() == '-') {
                ++m_pos;
                if (AtEnd() || Peek() == ']') {
                    add('-');
                } else {
                    // The range starts at the character written before the
                    // dash, which the list already holds.
                    const int from = static_cast<unsigned char>(m_pattern[m_pos - 2]) + 1;
                    const int to = static_cast<unsigned char>(m_pattern[m_pos]);
                    if (from > to + 1)
                        return Fail(PatternMatcher::kBadRange);
                    for (int ch = from; ch <= to; ++ch)
                        add(static_cast<unsigned char>(ch));
                    ++m_pos;
                }
            } else {
                add(static_cast<unsigned char>(m_pattern[m_pos++]));
            }
        }
        if (AtEnd())
            return Fail(PatternMatcher::kUnmatchedBracket);
        ++m_pos;
        if (negate) {
            for (auto& word : set.bits)
                word = ~word;
        }
        const int node = Emit(PatternOp::AnyOf);
        Nodes()[static_cast<std::size_t>(node)].arg =
            static_cast<std::uint32_t>(m_program.sets.size());
        m_program.sets.push_back(set);
        m_program.classicSize += listed + 1;
        return node;
    }

    std::string_view m_pattern;
    PatternProgram& m_program;
    std::size_t m_pos = 0;
    int m_error = 0;
};

// Hints and the literal shape, from the chain of the only top-level branch.
void ComputeHints(PatternProgram& program) {
    const auto& nodes = program.nodes;
    if (nodes.empty() || program.Next(0) < 0 ||
        nodes[static_cast<std::size_t>(program.Next(0))].op != PatternOp::End) {
        // Several alternatives: anchored only when every one starts with ^.
        bool allBol = !nodes.empty();
        for (int b = 0; b >= 0 && allBol; b = program.Next(b)) {
            const PatternOp op = nodes[static_cast<std::size_t>(b)].op;
            if (op == PatternOp::End)
                break;
            allBol = op == PatternOp::Branch &&
                     nodes[static_cast<std::size_t>(b + 1)].op == PatternOp::Bol;
        }
        program.anchored = allBol;
        return;
    }
    const int first = 1;
    const PatternNode& start = nodes[first];
    if (start.op == PatternOp::Exactly)
        program.firstChar = static_cast<unsigned char>(program.literals[start.arg]);
    else if (start.op == PatternOp::Bol)
        program.anchored = true;

    // Every literal on the chain is outside any alternative or repetition, so
    // every match contains each of them; keep the longest.
    std::size_t best = 0;
    for (int scan = first; scan >= 0; scan = program.Next(scan)) {
        const PatternNode& node = nodes[static_cast<std::size_t>(scan)];
        if (node.op == PatternOp::Exactly && node.length >= best) {
            best = node.length;
            program.must = std::string(program.Literal(node));
        }
    }

    if (start.op == PatternOp::Bol) {
        const int second = program.Next(first);
        if (second >= 0 && nodes[static_cast<std::size_t>(second)].op == PatternOp::Exactly)
            program.prefix = std::string(program.Literal(nodes[static_cast<std::size_t>(second)]));
    }
    int beforeLast = -1;
    int last = -1;
    for (int scan = first; scan >= 0; scan = program.Next(scan)) {
        if (nodes[static_cast<std::size_t>(scan)].op == PatternOp::End)
            break;
        beforeLast = last;
        last = scan;
    }
    if (last >= 0 && beforeLast >= 0 &&
        nodes[static_cast<std::size_t>(last)].op == PatternOp::Eol &&
        nodes[static_cast<std::size_t>(beforeLast)].op == PatternOp::Exactly)
        program.suffix = std::string(program.Literal(nodes[static_cast<std::size_t>(beforeLast)]));

    // A chain of only ^, literals and $ needs no engine at all.
    std::string literal;
    bool atStart = false;
    bool atEnd = false;
    bool sawLiteral = false;
    for (int scan = first; scan >= 0; scan = program.Next(scan)) {
        const PatternNode& node = nodes[static_cast<std::size_t>(scan)];
        if (node.op == PatternOp::End)
            break;
        if (atEnd)
            return; // something after $: leave it to the engine
        if (node.op == PatternOp::Bol && !sawLiteral && !atStart) {
            atStart = true;
        } else if (node.op == PatternOp::Exactly) {
            literal.append(program.Literal(node));
            sawLiteral = true;
        } else if (node.op == PatternOp::Nothing) {
            continue;
        } else if (node.op == PatternOp::Eol) {
            atEnd = true;
        } else {
            return;
        }
    }
    program.shape = PatternShape::Literal;
    program.literal = std::move(literal);
    program.literalAtStart = atStart;
    program.literalAtEnd = atEnd;
}

} // namespace

int CompilePattern(std::string_view pattern, bool ignoreCase, PatternProgram& program) {
    program = PatternProgram{};
    std::string folded;
    if (ignoreCase) {
        folded = FoldCase(pattern);
        pattern = folded;
    }
    Compiler compiler(pattern, program);
    const int error = compiler.Run();
    if (error != 0) {
        program = PatternProgram{};
        return error;
    }
    ComputeHints(program);
    return 0;
}
