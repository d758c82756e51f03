#pragma once

#include <QObject>
#include <chrono>
#include <functional>

// Runs work that may wait for the presence service on a thread of its own and
// hands its result to done on the user-interface thread, unless context is
// gone by then. The thread deletes itself when the work returns.
void RunInBackground(QObject* context, std::function<int()> work, std::function<void(int)> done);

// Waits until no work started by RunInBackground is running, at most limit;
// false when some still runs. The exit order asks it before it destroys what
// such work may use (the presence session, the settings).
bool WaitForBackgroundCalls(std::chrono::milliseconds limit);
