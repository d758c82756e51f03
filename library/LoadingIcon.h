#pragma once

#include <memory>

namespace platform {
class SingleInstanceGuard;
}
class UserMessages;

// The small "loading" notification icon shown while Halvara_Initialize checks
// the identity. Only one process of the session shows it: the guard "Halvara
// working icon Class" is taken for as long as the icon is up, and the kernel
// drops it should the process die meanwhile.
class LoadingIcon {
public:
    explicit LoadingIcon(UserMessages& messages);
    ~LoadingIcon(); // removes the icon if it is still up

    LoadingIcon(const LoadingIcon&) = delete;
    LoadingIcon& operator=(const LoadingIcon&) = delete;

    // True while this process holds the guard and so shows the icon.
    bool Shown() const { return m_guard != nullptr; }
    void Remove();

    static constexpr const char* kGuardName = "Halvara working icon Class";
    static constexpr const char* kTip = "Loading Halvara...";

private:
    UserMessages& m_messages;
    std::unique_ptr<platform::SingleInstanceGuard> m_guard;
};
