#pragma once

#include <QMessageBox>
#include <functional>

class QDialog;

// Where the plugin's windows run: widgets exist on the user-interface thread
// only, whichever thread asked for them, and nothing is shown any more once
// the application began to quit.
namespace GuiThread {

// Watches the application's quit from now on; safe from any thread.
void WatchQuit();

// Makes a dialog on the user-interface thread, shows it modally and returns
// what `answer` reads from it once it ended. A caller on that thread runs it
// in a nested loop, as a modal dialog does. A caller on another thread waits
// while the user-interface thread goes on with its own loop; it gets
// `cancelled` when the application quits before or while the dialog is up.
int RunDialog(const std::function<QDialog*()>& make,
              const std::function<int(const QDialog&)>& answer, int cancelled);

// Runs `work` on the user-interface thread and returns its answer, waiting
// for it from another thread; for short work that shows no dialog.
int Run(const std::function<int()>& work, int cancelled);

// Runs `work` off the user-interface thread: on a worker while a caller on the
// user-interface thread keeps its events going under a wait cursor, or right
// there on any other thread. For work that no window shows yet.
int RunOffGui(const std::function<int()>& work);

// Shows a dialog modally without a nested loop; it deletes itself once closed
// and is rejected when the application quits.
void Open(QDialog* dialog);

// A message box over `parent`, opened the same way; `then` gets the button
// the user chose, as a StandardButton.
void OpenMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                    const QString& text, QMessageBox::StandardButtons buttons,
                    const std::function<void(int)>& then = {});

} // namespace GuiThread
