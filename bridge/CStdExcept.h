#pragma once

#include <exception>
#include <string>

// The presence service's and the library's own exception: the unit that failed
// and a fixed number that identifies the failing check. Its text is made with
// "%s : %i\n" from the two.
class CStdExcept : public std::exception {
public:
    CStdExcept(const char* unit, int number);

    const char* what() const noexcept override { return m_text.c_str(); }
    const std::string& Unit() const { return m_unit; }
    int Number() const { return m_number; }

private:
    std::string m_unit;
    int m_number;
    std::string m_text;
};
