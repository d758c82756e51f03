#include "app/shell/frame/WindowKinds.h"

#include "app/shell/frame/WindowPlacement.h"

#include <QAction>
#include <QEvent>
#include <QMdiArea>
#include <QMdiSubWindow>

WindowKinds::WindowKinds(DrovickSettings& settings, QObject* parent)
    : QObject(parent)
    , m_settings(settings) {}

WindowKinds::~WindowKinds() {
    // Windows that outlive the registry must not call back into it.
    for (Entry& entry : m_entries)
        if (entry.window)
            entry.window->disconnect(this);
}

void WindowKinds::Register(WindowKind kind) {
    Entry entry;
    entry.toggle = new QAction(kind.toggleText, this);
    entry.toggle->setCheckable(true);
    entry.toggle->setEnabled(static_cast<bool>(kind.factory));
    const QString id = kind.id;
    connect(entry.toggle, &QAction::triggered, this, [this, id] {
        if (IsOpen(id))
            Close(id);
        else
            Open(id);
    });
    entry.kind = std::move(kind);
    m_entries.push_back(std::move(entry));
}

void WindowKinds::SetFactory(const QString& id, std::function<QWidget*()> factory) {
    if (Entry* entry = Find(id)) {
        entry->kind.factory = std::move(factory);
        entry->toggle->setEnabled(static_cast<bool>(entry->kind.factory));
    }
}

void WindowKinds::AttachArea(QMdiArea* area) {
    m_area = area;
}

QAction* WindowKinds::Toggle(const QString& id) const {
    const Entry* entry = Find(id);
    return entry ? entry->toggle : nullptr;
}

bool WindowKinds::IsOpen(const QString& id) const {
    const Entry* entry = Find(id);
    return entry && entry->window;
}

QWidget* WindowKinds::ContentOf(const QString& id) const {
    const Entry* entry = Find(id);
    return entry && entry->window ? entry->window->widget() : nullptr;
}

QMdiSubWindow* WindowKinds::Open(const QString& id) {
    Entry* entry = Find(id);
    if (!entry || !m_area || !entry->kind.factory)
        return nullptr;
    if (entry->window) {
        m_area->setActiveSubWindow(entry->window);
        return entry->window;
    }
    QWidget* content = entry->kind.factory();
    if (!content)
        return nullptr;
    QMdiSubWindow* window = m_area->addSubWindow(content);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(entry->kind.title);
    window->setObjectName(id);
    if (entry->kind.rect)
        if (auto placed =
                WindowPlacement::Place(m_settings.*entry->kind.rect, m_area->viewport()->size()))
            window->setGeometry(*placed);
    entry->window = window;
    entry->key = window;
    window->installEventFilter(this);
    connect(window, &QObject::destroyed, this, [this, id, window] { Closed(id, window); });
    if (entry->kind.openFlag)
        m_settings.*entry->kind.openFlag = 1;
    entry->toggle->setChecked(true);
    window->show();
    emit OpenChanged(id, true);
    return window;
}

void WindowKinds::Close(const QString& id) {
    Entry* entry = Find(id);
    if (!entry || !entry->window)
        return;
    QMdiSubWindow* window = entry->window;
    // The window is deleted later; the registry counts it closed at once so
    // the toggle and the flag follow the click.
    if (window->close() || !window->isVisible())
        Closed(id, window);
}

void WindowKinds::ReopenFromFlags() {
    for (Entry& entry : m_entries)
        if (entry.kind.openFlag && m_settings.*entry.kind.openFlag != 0)
            Open(entry.kind.id);
}

void WindowKinds::KeepOpenFlagsAtExit() {
    m_exiting = true;
    for (Entry& entry : m_entries)
        if (entry.window)
            StoreRect(entry);
}

WindowKinds::Entry* WindowKinds::Find(const QString& id) {
    for (Entry& entry : m_entries)
        if (entry.kind.id == id)
            return &entry;
    return nullptr;
}

const WindowKinds::Entry* WindowKinds::Find(const QString& id) const {
    return const_cast<WindowKinds*>(this)->Find(id);
}

void WindowKinds::StoreRect(Entry& entry) {
    QMdiSubWindow* window = entry.window.data();
    if (entry.kind.rect && window)
        m_settings.*entry.kind.rect = WindowPlacement::ToSettings(window->geometry());
}

bool WindowKinds::eventFilter(QObject* watched, QEvent* event) {
    // The rectangle is read while the window still has it; a close that is
    // refused afterwards only stored the same place early.
    if (event->type() == QEvent::Close)
        for (Entry& entry : m_entries)
            if (entry.window == watched)
                StoreRect(entry);
    return QObject::eventFilter(watched, event);
}

void WindowKinds::Closed(const QString& id, const QObject* window) {
    Entry* entry = Find(id);
    if (!entry || entry->key != window)
        return;
    entry->window = nullptr;
    entry->key = nullptr;
    if (entry->kind.openFlag && !m_exiting)
        m_settings.*entry->kind.openFlag = 0;
    entry->toggle->setChecked(false);
    emit OpenChanged(id, false);
}
