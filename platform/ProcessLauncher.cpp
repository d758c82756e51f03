#include "platform/ProcessLauncher.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

// Exit code of the intermediate process when the real program did not start.
constexpr int kSpawnFailed = 127;

// Owns the attribute and file-action objects of one posix_spawn call.
class SpawnSetup {
public:
    SpawnSetup() {
        m_attributesOk = posix_spawnattr_init(&m_attributes) == 0;
        m_actionsOk = posix_spawn_file_actions_init(&m_actions) == 0;
    }
    ~SpawnSetup() {
        if (m_actionsOk)
            posix_spawn_file_actions_destroy(&m_actions);
        if (m_attributesOk)
            posix_spawnattr_destroy(&m_attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    bool Prepare(const std::filesystem::path& workingDirectory) {
        if (!m_attributesOk || !m_actionsOk)
            return false;
        // A new session: no controlling terminal, and no signal sent to the
        // caller's process group (Ctrl+C in a terminal) reaches the program.
        // The signal mask and dispositions are reset to defaults, so the program
        // does not inherit whatever the calling application blocked or ignored.
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (posix_spawnattr_setflags(&m_attributes, flags) != 0 ||
            posix_spawnattr_setsigmask(&m_attributes, &none) != 0 ||
            posix_spawnattr_setsigdefault(&m_attributes, &all) != 0)
            return false;
        for (int fd = 0; fd <= 2; ++fd) {
            int mode = fd == 0 ? O_RDONLY : O_WRONLY;
            if (posix_spawn_file_actions_addopen(&m_actions, fd, "/dev/null", mode, 0) != 0)
                return false;
        }
        if (!workingDirectory.empty() &&
            posix_spawn_file_actions_addchdir_np(&m_actions, workingDirectory.c_str()) != 0)
            return false;
        return true;
    }

    const posix_spawnattr_t* Attributes() const { return &m_attributes; }
    const posix_spawn_file_actions_t* Actions() const { return &m_actions; }

private:
    posix_spawnattr_t m_attributes{};
    posix_spawn_file_actions_t m_actions{};
    bool m_attributesOk = false;
    bool m_actionsOk = false;
};

} // namespace

// Nobody is left as a zombie: a short-lived intermediate process (a fork) starts
// the program with posix_spawn and exits at once, telling through its exit code
// whether the program started. We reap the intermediate right away; the program
// is orphaned and adopted by init (or the session's subreaper), which reaps it
// when it ends. This needs no SIGCHLD handler, which a library must not install
// in somebody else's application, and no thread that waits for the program.
// Everything the intermediate needs is built before the fork, so it only calls
// posix_spawn (clone and exec underneath) and _exit.
bool LaunchDetached(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                    const std::filesystem::path& workingDirectory) {
    if (program.empty())
        return false;
    SpawnSetup setup;
    if (!setup.Prepare(workingDirectory))
        return false;
    std::string programText = program.string();
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(programText.data());
    std::vector<std::string> argumentCopies(arguments);
    for (std::string& argument : argumentCopies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t intermediate = fork();
    if (intermediate < 0)
        return false;
    if (intermediate == 0) {
        pid_t child = 0;
        int rc = posix_spawn(&child, programText.c_str(), setup.Actions(), setup.Attributes(),
                             argv.data(), environ);
        _exit(rc == 0 ? 0 : kSpawnFailed);
    }
    int status = 0;
    pid_t reaped;
    do {
        reaped = waitpid(intermediate, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    if (reaped < 0) {
        // The application ignores SIGCHLD, so the kernel reaped the intermediate
        // itself and its exit code is gone; posix_spawn was still called.
        return errno == ECHILD;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace platform
