#pragma once

#include <QString>

// Where the help page is: installed with the program under
// <prefix>/share/drovick/help/index.html (the prefix found from the program's
// own folder, then the prefix it was built for), else the source tree's
// help/index.html, so a program run from its build folder finds it too.
class HelpLocation {
public:
    // The first of the places above that holds the page, or "" when none does.
    static QString IndexPage();
    // The places looked at, in order; the program folder is the one the
    // running program lives in (QCoreApplication::applicationDirPath()).
    static QStringList Candidates(const QString& programFolder);
};
