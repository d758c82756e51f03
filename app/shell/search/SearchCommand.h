#pragma once

#include "app/shell/search/SearchWindow.h"

class QAction;
class QWidget;

// Enables the main frame's "RaskSearch..." command and makes it open the one
// search window, or bring it forward when it is open already.
void ConnectSearchCommand(QAction& command, QWidget* owner, SearchWindow::Services services);
