#pragma once

#include "app/files/IconTable.h"

#include <string>

// The icon a file of that name draws with, judged by its name alone (the file
// need not exist): the icon of the MIME type the name matches, as a listing of
// the local disk gives it for a file.
IconNames FileTypeIconNames(const std::string& fileName);
