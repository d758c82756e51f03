#pragma once

#include "halvara.h"
#include "qt/QtPresenterAbi.h"

#include <memory>
#include <string>

// Everything the library shows to the user goes through this interface, so the
// library itself never needs a widget toolkit and tests can hand in their own.
class UserMessages {
public:
    virtual ~UserMessages() = default;

    // A message box with an error icon; a null owner means no owner window.
    virtual void ShowError(HalvaraWindow owner, const std::string& text,
                           const std::string& caption) = 0;
    // The service's system message: the title is the caption.
    virtual void ShowSystemMessage(HalvaraWindow owner, const std::string& title,
                                   const std::string& text) = 0;
    // The small notification icon shown while the identity is being checked.
    virtual void ShowLoadingIcon(const std::string& tip) = 0;
    virtual void RemoveLoadingIcon() = 0;

    // The library's dialogs, which reach the client through `calls`. Without a
    // toolkit there is no dialog, and each answers as if the user cancelled.
    static constexpr int kCancelled = HALVARA_QT_CANCELLED;
    // "New friend": 1 added, 0 the add failed, else kCancelled.
    virtual int FindFriend(HalvaraWindow owner, const HalvaraQtClientCalls& calls,
                           const std::string& applicationName,
                           const std::string& applicationWebAddress, int applicationId);
    // The probe, then "Register ID": 1 registered, 0 not.
    virtual int RegisterIdentity(HalvaraWindow owner, const HalvaraQtClientCalls& calls);
    // "Change Identity": 1 changed, 0 the password was refused, else kCancelled.
    virtual int ChangeIdentity(HalvaraWindow owner, const HalvaraQtClientCalls& calls);
};

// Writes every message to standard error; for programs without a display.
class StandardErrorMessages : public UserMessages {
public:
    void ShowError(HalvaraWindow owner, const std::string& text,
                   const std::string& caption) override;
    void ShowSystemMessage(HalvaraWindow owner, const std::string& title,
                           const std::string& text) override;
    void ShowLoadingIcon(const std::string&) override {}
    void RemoveLoadingIcon() override {}
};

// Qt message boxes when the process already runs a QApplication (the Qt part
// lives in a plugin beside the library, loaded only then); standard error
// otherwise.
std::unique_ptr<UserMessages> MakeUserMessages();
