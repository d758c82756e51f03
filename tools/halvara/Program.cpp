#include "Program.h"

void Complain(const std::string& text) {
    ComplainAs("halvara", Printable(text));
}

std::string Printable(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\')
            shown += "\\\\";
        else if (c == '\n')
            shown += "\\n";
        else if (c == '\r')
            shown += "\\r";
        else if (c == '\t')
            shown += "\\t";
        else if (byte < 0x20 || byte == 0x7F)
            shown += '?';
        else
            shown += c;
    }
    return shown;
}

std::string Record(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += '\t';
        line += Printable(fields[i]);
    }
    return line;
}
