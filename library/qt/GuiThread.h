#pragma once

#include <functional>

class QDialog;

// Where the plugin's windows run: widgets exist on the user-interface thread
// only, whichever thread asked for them, and nothing is shown any more once
// the application began to quit.
namespace GuiThread {

// Watches the application's quit from now on; safe from any thread.
void WatchQuit();

// Runs `show` on the user-interface thread and returns its answer. A caller on
// another thread waits for it; it gets `cancelled` when the application quits
// before or while the window is up.
int Run(const std::function<int()>& show, int cancelled);

// Runs `work` off the user-interface thread: on a worker while a caller on the
// user-interface thread keeps its events going under a wait cursor, or right
// there on any other thread. For work that no window shows yet.
int RunOffGui(const std::function<int()>& work);

// A modal dialog that is rejected when the application quits.
int ExecCancellable(QDialog& dialog);

} // namespace GuiThread
