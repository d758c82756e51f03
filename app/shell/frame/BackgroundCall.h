#pragma once

#include <QObject>
#include <functional>

// Runs work that may wait for the presence service on a thread of its own and
// hands its result to done on the user-interface thread, unless context is
// gone by then. The thread deletes itself when the work returns.
void RunInBackground(QObject* context, std::function<int()> work, std::function<void(int)> done);
