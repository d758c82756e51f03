#pragma once

#include "app/files/IconTable.h"

#include <string>

class QMimeType;

// The icon a file of that name draws with, judged by its name alone (the file
// need not exist): the icon of the MIME type the name matches, as a listing of
// the local disk gives it for a file.
IconNames FileTypeIconNames(const std::string& fileName);

// The type name a listing shows for a MIME type ("Plain text document"): its
// description in the user's language with the first letter raised. Kept per
// type and language for the life of the process: the database looks up the
// user's languages and scans the type's descriptions on every asking, which a
// listing of thousands of files of a few types would repeat for each one.
std::string FileTypeName(const QMimeType& mime);
