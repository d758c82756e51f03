#pragma once

#include "app/session/ShareChange.h"

#include <chrono>

// How long share and unshare wait for the running Drovick to answer: it takes
// requests between its other work every tenth of a second, so only a stuck
// program, or one on a very loaded machine, takes this long.
inline constexpr std::chrono::seconds kShareAnswerLimit{10};

enum class AskedDrovick {
    // No Drovick runs for this user: the settings file is the one to change.
    NobodyRuns,
    // One runs but did not take the request (it does not listen on the bus,
    // or did not in time); the request was withdrawn and nothing changed.
    NotTaken,
    // It made the change or refused it; outcome says which.
    Answered,
    // It took the request but did not answer in time; the change may be made.
    TakenUnanswered,
};

// Hands the change to the Drovick that runs for this user, so that the one
// program that writes the settings while it runs makes it and serves the new
// shares at once.
AskedDrovick AskRunningDrovick(const ShareChange& change, ShareChangeOutcome& outcome);
