#pragma once

#include "app/shell/infobar/TipList.h"

#include <QObject>
#include <QTimer>
#include <chrono>

class InfoBar;

// Puts the next tip into the info bar shortly after start and then every two
// minutes, on the user-interface thread.
class TipRotation : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kFirstDelay{200};
    static constexpr std::chrono::milliseconds kInterval{120000};

    TipRotation(TipList tips, InfoBar& bar, QObject* parent = nullptr);

    void Start();

private:
    void ShowNext();

    TipList m_tips;
    InfoBar& m_bar;
    QTimer m_timer;
};
