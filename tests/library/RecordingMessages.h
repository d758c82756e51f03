#pragma once

#include "UserMessages.h"

#include <mutex>
#include <string>
#include <vector>

// Keeps every message the library would show, for the tests to read.
class RecordingMessages : public UserMessages {
public:
    struct Shown {
        std::string kind; // "error", "system", "icon", "icon removed"
        HalvaraWindow owner = nullptr;
        std::string first;
        std::string second;
    };

    void ShowError(HalvaraWindow owner, const std::string& text,
                   const std::string& caption) override {
        Add({"error", owner, text, caption});
    }
    void ShowSystemMessage(HalvaraWindow owner, const std::string& title,
                           const std::string& text) override {
        Add({"system", owner, title, text});
    }
    void ShowLoadingIcon(const std::string& tip) override { Add({"icon", nullptr, tip, {}}); }
    void RemoveLoadingIcon() override { Add({"icon removed", nullptr, {}, {}}); }

    std::vector<Shown> All() const {
        std::lock_guard lock(m_mutex);
        return m_shown;
    }

private:
    void Add(Shown shown) {
        std::lock_guard lock(m_mutex);
        m_shown.push_back(std::move(shown));
    }
    mutable std::mutex m_mutex;
    std::vector<Shown> m_shown;
};
