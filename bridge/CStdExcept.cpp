#include "CStdExcept.h"

#include <cstdio>

CStdExcept::CStdExcept(const char* unit, int number) : m_unit(unit), m_number(number) {
    char text[160];
    std::snprintf(text, sizeof text, "%s : %i\n", unit, number);
    m_text = text;
}
