#pragma once

#include "app/files/DrovickSettings.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

class QAction;
class QMdiArea;
class QMdiSubWindow;
class QWidget;

// One kind of tool window of the main frame: the friends list, the shared
// directories, the transfer agent, the messenger, the network monitor.
struct WindowKind {
    QString id;         // stable name, "monitor"
    QString title;      // the window's title, "Network Monitor"
    QString toggleText; // the View menu's toggle, "&Network Monitor"
    // Where the settings keep whether it was open and where it was.
    std::int32_t DrovickSettings::*openFlag = nullptr;
    SettingsRect DrovickSettings::*rect = nullptr;
    // Makes the window's content; empty while the kind is not built yet, and
    // its toggle is then disabled rather than a click that does nothing.
    std::function<QWidget*()> factory;
};

// The registry every tool window goes through, so that the View menu's
// toggles, the open flags, the saved rectangles and the reopening at start are
// written once. Lives on the user-interface thread.
//
// The open flag is set when a window opens and cleared when the user closes
// it; windows still open when the program ends (after KeepOpenFlagsAtExit)
// keep their flags and are reopened at the next start.
class WindowKinds : public QObject {
    Q_OBJECT
public:
    explicit WindowKinds(DrovickSettings& settings, QObject* parent = nullptr);
    ~WindowKinds() override;

    // Kinds are reopened at start in the order they were registered.
    void Register(WindowKind kind);
    void SetFactory(const QString& id, std::function<QWidget*()> factory);
    // The main frame's area; windows open only once it is attached.
    void AttachArea(QMdiArea* area);

    // The checkable toggle of the kind, owned by the registry; null when unknown.
    QAction* Toggle(const QString& id) const;
    bool IsOpen(const QString& id) const;
    QWidget* ContentOf(const QString& id) const;
    // Opens the kind, or brings its open window forward; null when it cannot.
    QMdiSubWindow* Open(const QString& id);
    void Close(const QString& id);

    // Opens every kind whose open flag is set.
    void ReopenFromFlags();
    // The program is ending: stores every open window's rectangle and keeps
    // the open flags of the windows that close from now on.
    void KeepOpenFlagsAtExit();

signals:
    void OpenChanged(const QString& id, bool open);

private:
    struct Entry {
        WindowKind kind;
        QAction* toggle = nullptr;
        QPointer<QMdiSubWindow> window;
        // The open window's address, to tell its late destruction from a
        // window of the same kind opened since.
        const QObject* key = nullptr;
    };
    Entry* Find(const QString& id);
    const Entry* Find(const QString& id) const;
    void StoreRect(Entry& entry);
    void Closed(const QString& id, const QObject* window);
    bool eventFilter(QObject* watched, QEvent* event) override;

    DrovickSettings& m_settings;
    QPointer<QMdiArea> m_area;
    std::vector<Entry> m_entries;
    bool m_exiting = false;
};
