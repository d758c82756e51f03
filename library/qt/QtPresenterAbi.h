#pragma once

// The plain-C boundary between the library and its Qt plugin (libhalvara_qt.so),
// which the library loads only into processes that already run a QApplication.
// Changing this table means raising HALVARA_QT_ABI_VERSION.

#ifdef __cplusplus
extern "C" {
#endif

#define HALVARA_QT_ABI_VERSION 1
#define HALVARA_QT_ENTRY "HalvaraQt_Presenter"

struct HalvaraQtPresenter {
    int version;
    // owner is the application's window handle as given to the library.
    void (*showError)(void* owner, const char* text, const char* caption);
    void (*showSystemMessage)(void* owner, const char* title, const char* text);
    void (*showLoadingIcon)(const char* tip);
    void (*removeLoadingIcon)(void);
};

// The table, or null when the process has no QApplication.
typedef const struct HalvaraQtPresenter* (*HalvaraQtPresenterEntry)(void);

#ifdef __cplusplus
}
#endif
