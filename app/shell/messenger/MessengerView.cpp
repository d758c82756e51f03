#include "app/shell/messenger/MessengerView.h"

#include "app/shell/messenger/BubbleDelegate.h"
#include "app/shell/messenger/MessengerModel.h"

#include <QMouseEvent>
#include <QScrollBar>

MessengerView::MessengerView(InstantMessageDisplay& display, MessageSend send, QWidget* parent)
    : QListView(parent)
    , m_display(display)
    , m_send(std::move(send))
    , m_model(std::make_unique<MessengerModel>())
    , m_delegate(std::make_unique<BubbleDelegate>(*m_model)) {
    setObjectName(QStringLiteral("InstantMessenger"));
    setModel(m_model.get());
    setItemDelegate(m_delegate.get());
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // A scroll bar that comes and goes would change the width every bubble
    // was measured for.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setResizeMode(QListView::Adjust);
    // Thousands of bubbles are laid out a batch per turn of the event loop,
    // so the window answers while a long conversation is measured.
    setLayoutMode(QListView::Batched);
    setBatchSize(500);
    QScrollBar* bar = verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this,
            [this, bar](int value) { m_atNewest = value >= bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
        if (m_atNewest)
            bar->setValue(maximum);
    });
    setSpacing(0);
    setFrameShape(QFrame::NoFrame);
    QPalette colours = palette();
    colours.setColor(QPalette::Base, QColor(0xf4, 0xf6, 0xf9));
    setPalette(colours);
    m_display.Register(this);
}

MessengerView::~MessengerView() {
    // On return no message is on its way to this view.
    m_display.Unregister(this);
}

void MessengerView::AppendMessage(const InstantMessageEntry& entry) {
    if (m_arrivals.empty())
        QMetaObject::invokeMethod(this, &MessengerView::FlushArrivals, Qt::QueuedConnection);
    m_arrivals.push_back(entry);
}

void MessengerView::FlushArrivals() {
    m_model->Append(std::move(m_arrivals));
    m_arrivals.clear();
}

void MessengerView::mouseDoubleClickEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (!index.isValid())
        return;
    const InstantMessageEntry& entry = m_model->At(index.row());
    if (!entry.CanReply())
        return;
    const QString address = QString::fromStdString(entry.address);
    const QString label = QString::fromStdString(entry.senderLabel);
    if (m_replyHandler)
        m_replyHandler(address, label);
    else
        AskAndSend(this, m_send, address, label);
}
