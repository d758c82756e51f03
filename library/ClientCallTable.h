#pragma once

#include "qt/QtPresenterAbi.h"

class HalvaraClient;

// The table through which the library's dialogs reach the client: plain C
// functions over the client's own operations, none of which lets an exception
// out. The client must outlive every dialog that was given the table.
HalvaraQtClientCalls ClientCallTable(HalvaraClient& client);
