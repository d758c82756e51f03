#pragma once

#include <QString>

// Where the help page is: installed beside the program (<prefix>/bin/../share/
// drovick/help), in a help folder beside the program, or in the source tree
// the program was built from. Empty when none of them holds index.html.
class HelpPage {
public:
    static QString Find();
};
