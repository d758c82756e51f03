#pragma once

#include <QTimer>
#include <QWidget>

// The busy picture of the search window: a ring of dots whose bright head
// turns while a search listens, drawn here rather than taken from anywhere.
// Stopped, it keeps its place and draws the ring faintly, so the dialog does
// not move when a search starts.
class BusyIndicator : public QWidget {
    Q_OBJECT
public:
    explicit BusyIndicator(QWidget* parent = nullptr);

    void Start();
    void Stop();
    bool IsRunning() const { return m_timer.isActive(); }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    static constexpr int kDots = 12;
    QTimer m_timer;
    int m_head = 0;
};
