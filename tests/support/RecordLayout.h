#pragma once

// Checks a binary record against a table of its fields, so a layout test reads
// as the layout itself: one row per field with where it sits, how wide it is
// and what it must hold.

#include <cstddef>
#include <cstdint>
#include <gtest/gtest.h>
#include <initializer_list>
#include <span>
#include <string>
#include <variant>

namespace testsupport {

// Every byte of the field is zero (the filler behind a text, padding).
struct ZeroFilled {};

struct LayoutField {
    const char* field;
    std::size_t offset;
    std::size_t size;
    // An integer is read little-endian over size bytes (1 to 8) and compared
    // with as many low bytes of the value, so -2 in four bytes is FE FF FF FF.
    // A text is read up to its first zero byte inside the field.
    std::variant<std::int64_t, std::string, ZeroFilled> value;
};

// Success when the record holds every row; otherwise a failure that lists each
// row it does not hold, by field and offset, and each row that reaches past
// the record's end. Use as EXPECT_TRUE(HoldsLayout(bytes, {...})).
::testing::AssertionResult HoldsLayout(std::span<const std::uint8_t> record,
                                       std::initializer_list<LayoutField> fields);

} // namespace testsupport
