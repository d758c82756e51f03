#include "support/RecordLayout.h"

#include <gtest/gtest.h>

namespace testsupport {

namespace {

struct FieldCheck {
    std::span<const std::uint8_t> bytes;

    ::testing::AssertionResult operator()(std::int64_t expected) const {
        if (bytes.empty() || bytes.size() > 8)
            return ::testing::AssertionFailure() << "an integer of " << bytes.size() << " bytes";
        std::uint64_t value = 0;
        for (std::size_t i = bytes.size(); i-- > 0;)
            value = value << 8 | bytes[i];
        const std::uint64_t mask =
            bytes.size() == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * bytes.size())) - 1;
        const std::uint64_t wanted = static_cast<std::uint64_t>(expected) & mask;
        if (value == wanted)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << std::hex << "holds 0x" << value << ", expected 0x" << wanted;
    }

    ::testing::AssertionResult operator()(const std::string& expected) const {
        std::string text;
        for (std::uint8_t byte : bytes) {
            if (byte == 0)
                break;
            text.push_back(static_cast<char>(byte));
        }
        if (text == expected)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "holds \"" << text << "\", expected \"" << expected << '"';
    }

    ::testing::AssertionResult operator()(ZeroFilled) const {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] != 0)
                return ::testing::AssertionFailure()
                       << "byte " << i << " of the filler is " << int{bytes[i]};
        }
        return ::testing::AssertionSuccess();
    }
};

} // namespace

void ExpectLayout(std::span<const std::uint8_t> record, std::initializer_list<LayoutField> fields) {
    for (const LayoutField& row : fields) {
        if (row.offset > record.size() || row.size > record.size() - row.offset) {
            ADD_FAILURE() << row.field << " at " << row.offset << " (" << row.size
                          << " bytes) lies past the record's " << record.size() << " bytes";
            continue;
        }
        EXPECT_TRUE(std::visit(FieldCheck{record.subspan(row.offset, row.size)}, row.value))
            << row.field << " at offset " << row.offset;
    }
}

} // namespace testsupport
