#pragma once

#include "FakeService.h"
#include "support/TestSupport.h"

// What a session test process talks to: a private runtime folder, no
// halvserve launched, and the scripted service end of the bridge in its place.
class ScriptedSessionService {
public:
    explicit ScriptedSessionService(FakeService::Handler handler) {
        m_environment.Set("XDG_RUNTIME_DIR", m_runtime.Path().string());
        m_environment.Set("HALVSERVE_PATH", "/bin/true");
        m_service = std::make_unique<FakeService>(std::move(handler));
    }

    FakeService& Service() { return *m_service; }

private:
    testsupport::TempDir m_runtime;
    testsupport::ScopedEnvironment m_environment;
    std::unique_ptr<FakeService> m_service;
};
