#include "app/shell/infobar/TipRotation.h"

#include "app/shell/infobar/InfoBar.h"

TipRotation::TipRotation(TipList tips, InfoBar& bar, QObject* parent)
    : QObject(parent)
    , m_tips(std::move(tips))
    , m_bar(bar) {
    connect(&m_timer, &QTimer::timeout, this, &TipRotation::ShowNext);
}

void TipRotation::Start() {
    m_timer.start(kFirstDelay);
}

void TipRotation::ShowNext() {
    m_bar.ShowText(m_tips.Next());
    if (m_timer.interval() != static_cast<int>(kInterval.count()))
        m_timer.start(kInterval);
}
