#pragma once

#include <QString>
#include <string>

class PeerServices;

// One Drovick per user: the "Pellow" guard, shared with `drovick-peer serve`.
// A second window program wakes the first ("Pellow WakeUp") and ends; when the
// guard is held by another program, the user is told which one holds it.
class SingleInstance {
public:
    enum class Outcome {
        First,       // this process holds the guard now
        WokeRunning, // another drovick runs; it was asked to show its window
        HeldByOther, // another program (drovick-peer serve) holds it: Refusal()
        Unreachable, // the guard could not be looked at: Refusal()
    };
    static Outcome Claim(PeerServices& services, std::string& holder);
    // Whether the holder named by the guard is another window program.
    static bool HolderIsWindowProgram(const std::string& holder);

    // The message for HeldByOther and Unreachable.
    static QString Refusal(Outcome outcome, const std::string& holder);

    static constexpr const char* kProgramName = "drovick";
};
