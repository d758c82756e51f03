#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The compiled form of a pattern, shared (read-only) by every copy of a
// PatternMatcher. Internal to the matcher; callers use PatternMatcher.

enum class PatternOp : std::uint8_t {
    End,     // the match succeeded
    Bol,     // beginning of the subject
    Eol,     // end of the subject
    Any,     // any one character
    AnyOf,   // one character of a set (negated lists are stored complemented)
    Exactly, // a literal run
    Branch,  // one alternative; the operand is the next node in the array
    Back,    // loop edge of a repetition; matches the empty string
    Nothing, // matches the empty string
    Star,    // zero or more of the simple operand that follows
    Plus,    // one or more of the simple operand that follows
    Open,    // start of group `group`
    Close,   // end of group `group`
    WordA,   // start of a word
    WordZ,   // end of a word
};

struct PatternNode {
    PatternOp op = PatternOp::End;
    std::uint8_t group = 0;
    // Distance to the node that follows in the chain; 0 for none. Relative so
    // that inserting a node in front of an operand keeps the operand's links.
    std::int32_t next = 0;
    // Exactly: offset into the literal pool; AnyOf: index of the set.
    std::uint32_t arg = 0;
    // Exactly: length of the literal run.
    std::uint32_t length = 0;
};

struct CharSet {
    std::array<std::uint64_t, 4> bits{};
    bool Has(unsigned char c) const { return (bits[c >> 6] >> (c & 63)) & 1u; }
    void Add(unsigned char c) { bits[c >> 6] |= std::uint64_t(1) << (c & 63); }
};

// How the whole pattern can be matched without the backtracking engine.
enum class PatternShape : std::uint8_t {
    General, // run the node program
    Literal, // one literal, optionally tied to the start and/or the end
};

struct PatternProgram {
    std::vector<PatternNode> nodes;
    std::string literals;
    std::vector<CharSet> sets;
    int groupCount = 0; // parenthesised groups, at most 9

    // Hints: a match must start with firstChar (when >= 0); an anchored program
    // is tried at position 0 only; every match contains `must`.
    int firstChar = -1;
    bool anchored = false;
    std::string must;
    // Literals every match starts with (anchored programs) and every match
    // ends with (programs that end in a literal and $): cheap rejections.
    std::string prefix;
    std::string suffix;

    PatternShape shape = PatternShape::General;
    std::string literal;
    bool literalAtStart = false;
    bool literalAtEnd = false;

    // Size of the program in the classic byte layout (three bytes a node plus
    // operands), which sets the pattern size limit.
    std::size_t classicSize = 0;

    std::string_view Literal(const PatternNode& node) const {
        return std::string_view(literals).substr(node.arg, node.length);
    }
    int Next(int index) const {
        const int offset = nodes[static_cast<std::size_t>(index)].next;
        return offset == 0 ? -1 : index + offset;
    }
};

// Compiles a pattern (already truncated at any NUL); returns 0 and fills the
// program, or one of the compile error codes of PatternMatcher.
int CompilePattern(std::string_view pattern, bool ignoreCase, PatternProgram& program);
