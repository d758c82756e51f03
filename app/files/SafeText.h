#pragma once

#include <string>
#include <string_view>

// Text that came from another computer (a path, a name, a message) as it may
// reach a log line, a terminal or a window: what could steer a terminal or
// break a row becomes '?'. That is each C0 control and DEL, each C1 control
// (U+0080 to U+009F, and the lone bytes 0x80 to 0x9F of Latin-1 text, which
// some terminals obey as well), each byte that is not part of valid UTF-8
// (overlong forms and surrogates included), and the Unicode line separators
// and direction overrides that make a window show a name other than the one
// it has. One '?' stands for each such character or stray byte; everything
// else is kept as it is.
std::string SafeText(std::string_view text);
