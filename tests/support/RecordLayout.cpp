#include "support/RecordLayout.h"

#include <optional>
#include <sstream>

namespace testsupport {

namespace {

// What is wrong with one field, or nothing when it holds the value.
struct FieldCheck {
    std::span<const std::uint8_t> bytes;

    std::optional<std::string> operator()(std::int64_t expected) const {
        if (bytes.empty() || bytes.size() > 8)
            return "an integer cannot be " + std::to_string(bytes.size()) + " bytes wide";
        std::uint64_t value = 0;
        for (std::size_t i = bytes.size(); i-- > 0;)
            value = value << 8 | bytes[i];
        const std::uint64_t mask =
            bytes.size() == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * bytes.size())) - 1;
        const std::uint64_t wanted = static_cast<std::uint64_t>(expected) & mask;
        if (value == wanted)
            return std::nullopt;
        std::ostringstream problem;
        problem << std::hex << "holds 0x" << value << ", expected 0x" << wanted;
        return problem.str();
    }

    std::optional<std::string> operator()(const std::string& expected) const {
        std::string text;
        for (std::uint8_t byte : bytes) {
            if (byte == 0)
                break;
            text.push_back(static_cast<char>(byte));
        }
        if (text == expected)
            return std::nullopt;
        return "holds \"" + text + "\", expected \"" + expected + "\"";
    }

    std::optional<std::string> operator()(ZeroFilled) const {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] != 0)
                return "byte " + std::to_string(i) + " of the filler is " +
                       std::to_string(bytes[i]);
        }
        return std::nullopt;
    }
};

} // namespace

::testing::AssertionResult HoldsLayout(std::span<const std::uint8_t> record,
                                       std::initializer_list<LayoutField> fields) {
    std::ostringstream problems;
    for (const LayoutField& row : fields) {
        if (row.offset > record.size() || row.size > record.size() - row.offset) {
            problems << "\n  " << row.field << " at " << row.offset << " (" << row.size
                     << " bytes) lies past the record's " << record.size() << " bytes";
            continue;
        }
        if (auto problem = std::visit(FieldCheck{record.subspan(row.offset, row.size)}, row.value))
            problems << "\n  " << row.field << " at " << row.offset << ": " << *problem;
    }
    if (problems.str().empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the record differs from its layout:" << problems.str();
}

} // namespace testsupport
