#pragma once

#include "bridge/CStdExcept.h"

#include <gtest/gtest.h>
#include <string>

// The call must fail with exactly this unit and number.
template <typename Call>
void ExpectRefusal(Call call, const std::string& unit, int number) {
    try {
        call();
        ADD_FAILURE() << "no refusal, expected " << unit << " " << number;
    } catch (const CStdExcept& e) {
        EXPECT_EQ(e.Unit(), unit);
        EXPECT_EQ(e.Number(), number);
    }
}
