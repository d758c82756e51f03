#include "UserMessages.h"

#include "qt/QtPresenterAbi.h"

#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <mutex>

int UserMessages::FindFriend(HalvaraWindow, const HalvaraQtClientCalls&, const std::string&,
                             const std::string&, int) {
    return kCancelled;
}

int UserMessages::RegisterIdentity(HalvaraWindow, const HalvaraQtClientCalls&) {
    return 0;
}

int UserMessages::ChangeIdentity(HalvaraWindow, const HalvaraQtClientCalls&) {
    return kCancelled;
}

void StandardErrorMessages::ShowError(HalvaraWindow, const std::string& text,
                                      const std::string& caption) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

void StandardErrorMessages::ShowSystemMessage(HalvaraWindow, const std::string& title,
                                              const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
}

namespace {

// The folder this library was loaded from: the plugin sits beside it.
std::filesystem::path OwnFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&MakeUserMessages), &info) == 0 || !info.dli_fname)
        return {};
    return std::filesystem::path(info.dli_fname).parent_path();
}

const HalvaraQtPresenter* LoadQtPresenter() {
    // Only a process that already has QtWidgets can have a QApplication; loading
    // the plugin anywhere else would drag Qt into programs without a display.
    void* widgets = dlopen("libQt6Widgets.so.6", RTLD_LAZY | RTLD_NOLOAD);
    if (!widgets)
        return nullptr;
    dlclose(widgets);

    std::filesystem::path folder = OwnFolder();
    if (folder.empty())
        return nullptr;
    void* plugin = dlopen((folder / "libhalvara_qt.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!plugin)
        return nullptr;
    auto entry = reinterpret_cast<HalvaraQtPresenterEntry>(dlsym(plugin, HALVARA_QT_ENTRY));
    const HalvaraQtPresenter* presenter = entry ? entry() : nullptr;
    if (!presenter || presenter->version != HALVARA_QT_ABI_VERSION) {
        dlclose(plugin);
        return nullptr;
    }
    // The plugin stays loaded: Qt objects it made may outlive this call.
    return presenter;
}

// Looks for the Qt plugin at every message until it is found, so a QApplication
// made after the library's first call still gets message boxes.
class AutoMessages : public UserMessages {
public:
    void ShowError(HalvaraWindow owner, const std::string& text,
                   const std::string& caption) override {
        if (const HalvaraQtPresenter* presenter = Presenter())
            presenter->showError(owner, text.c_str(), caption.c_str());
        else
            m_fallback.ShowError(owner, text, caption);
    }
    void ShowSystemMessage(HalvaraWindow owner, const std::string& title,
                           const std::string& text) override {
        if (const HalvaraQtPresenter* presenter = Presenter())
            presenter->showSystemMessage(owner, title.c_str(), text.c_str());
        else
            m_fallback.ShowSystemMessage(owner, title, text);
    }
    void ShowLoadingIcon(const std::string& tip) override {
        if (const HalvaraQtPresenter* presenter = Presenter())
            presenter->showLoadingIcon(tip.c_str());
    }
    void RemoveLoadingIcon() override {
        if (const HalvaraQtPresenter* presenter = Presenter())
            presenter->removeLoadingIcon();
    }
    int FindFriend(HalvaraWindow owner, const HalvaraQtClientCalls& calls,
                   const std::string& applicationName, const std::string& applicationWebAddress,
                   int applicationId) override {
        if (const HalvaraQtPresenter* presenter = Presenter())
            return presenter->findFriend(owner, &calls, applicationName.c_str(),
                                         applicationWebAddress.c_str(), applicationId);
        return kCancelled;
    }
    int RegisterIdentity(HalvaraWindow owner, const HalvaraQtClientCalls& calls) override {
        if (const HalvaraQtPresenter* presenter = Presenter())
            return presenter->registerIdentity(owner, &calls);
        return 0;
    }
    int ChangeIdentity(HalvaraWindow owner, const HalvaraQtClientCalls& calls) override {
        if (const HalvaraQtPresenter* presenter = Presenter())
            return presenter->changeIdentity(owner, &calls);
        return kCancelled;
    }

private:
    const HalvaraQtPresenter* Presenter() {
        std::lock_guard lock(m_mutex);
        if (!m_presenter)
            m_presenter = LoadQtPresenter();
        return m_presenter;
    }
    std::mutex m_mutex;
    const HalvaraQtPresenter* m_presenter = nullptr;
    StandardErrorMessages m_fallback;
};

} // namespace

std::unique_ptr<UserMessages> MakeUserMessages() {
    return std::make_unique<AutoMessages>();
}
