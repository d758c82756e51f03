#include "LoadingIcon.h"

#include "UserMessages.h"
#include "platform/SingleInstanceGuard.h"

#include <exception>

LoadingIcon::LoadingIcon(UserMessages& messages)
    : m_messages(messages) {
    try {
        m_guard = platform::SingleInstanceGuard::TryAcquire(kGuardName);
    } catch (const std::exception&) {
        // Without a session namespace there is no icon; the check goes on.
        m_guard.reset();
    }
    if (m_guard)
        m_messages.ShowLoadingIcon(kTip);
}

LoadingIcon::~LoadingIcon() {
    Remove();
}

void LoadingIcon::Remove() {
    if (!m_guard)
        return;
    m_messages.RemoveLoadingIcon();
    m_guard.reset();
}
