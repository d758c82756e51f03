#pragma once

// The plain-C boundary between the library and its Qt plugin (libhalvara_qt.so),
// which the library loads only into processes that already run a QApplication.
// Changing either table means raising HALVARA_QT_ABI_VERSION; the library
// refuses a plugin of any other version and stays headless.

#ifdef __cplusplus
extern "C" {
#endif

#define HALVARA_QT_ABI_VERSION 2
#define HALVARA_QT_ENTRY "HalvaraQt_Presenter"

// What a dialog answers when the user cancelled it, or when the application
// quit while it was open or before it could be shown.
#define HALVARA_QT_CANCELLED (-1)

// The client's operations a dialog needs, each one or more bridge exchanges that
// may wait for the service and the directory: the plugin calls them on worker
// threads only. `context` is handed back unchanged to every call. Texts are
// NUL-terminated; every call copies what it keeps.
struct HalvaraQtClientCalls {
    void* context;
    // Command 14 on the trimmed address: the id, negative when unknown.
    int (*lookupId)(void* context, const char* eMail);
    // Command 27: 1 when the service sent the invitation.
    int (*sendInvitation)(void* context, const char* eMail, const char* applicationName,
                          const char* applicationWebAddress, int applicationId);
    // Command 7 with (id, 1): 1 when the friend was added.
    int (*addFriend)(void* context, int id);
    // Commands 25 and 26: the active and the highest identity index, -1 for none.
    int (*activeIdentity)(void* context);
    int (*highestIdentity)(void* context);
    // Command 22: 1 when the index holds a non-empty identity text (copied into
    // text, cut to size - 1 characters).
    int (*identityText)(void* context, int index, char* text, int size);
    // Command 23; the active identity is never deleted: result 0.
    int (*deleteIdentity)(void* context, int index);
    // Command 21: non-zero when the identity is now active.
    int (*setIdentity)(void* context, int index, const char* password);
    // Whether the directory host takes a connection (the registration's probe).
    int (*directoryReachable)(void* context);
    // The verdict of commands 31, 14 and 16 on a trimmed address and password:
    // 1 when the address may be taken, else 0. The verdict text (empty when
    // there is nothing to say) and the directory's id for the address (-1 when
    // none) come back through the last arguments.
    int (*decideRegistration)(void* context, const char* eMail, const char* password,
                              int* registeredId, char* verdict, int verdictSize);
    // Commands 24, 21, 3 (only when registeredId >= 0) and 1: 1 when the new
    // identity is registered and active.
    int (*finishRegistration)(void* context, const char* name, const char* eMail,
                              const char* password, int registeredId);
};

struct HalvaraQtPresenter {
    int version;
    // owner is the application's window handle as given to the library.
    void (*showError)(void* owner, const char* text, const char* caption);
    // The "System message" dialog; returns once the user closed it.
    void (*showSystemMessage)(void* owner, const char* title, const char* text);
    void (*showLoadingIcon)(const char* tip);
    void (*removeLoadingIcon)(void);
    // "New friend": 1 when a friend was found and added, 0 when the add
    // failed, HALVARA_QT_CANCELLED otherwise.
    int (*findFriend)(void* owner, const struct HalvaraQtClientCalls* calls,
                      const char* applicationName, const char* applicationWebAddress,
                      int applicationId);
    // The probe, then the "Register ID" wizard: 1 registered, 0 not.
    int (*registerIdentity)(void* owner, const struct HalvaraQtClientCalls* calls);
    // "Change Identity": 1 when the chosen identity is now active, 0 when the
    // service refused the password, HALVARA_QT_CANCELLED otherwise.
    int (*changeIdentity)(void* owner, const struct HalvaraQtClientCalls* calls);
};

// The table, or null when the process has no QApplication.
typedef const struct HalvaraQtPresenter* (*HalvaraQtPresenterEntry)(void);

#ifdef __cplusplus
}
#endif
