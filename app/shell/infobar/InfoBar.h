#pragma once

#include <QString>
#include <QWidget>

// The bar below the toolbar that shows the current tip: white text on the
// desktop's button-shadow colour, in a serif face twice the status bar's
// height, on one line with an ellipsis when the text does not fit.
class InfoBar : public QWidget {
    Q_OBJECT
public:
    explicit InfoBar(QWidget* parent = nullptr);

    // Repaints only when the text differs from the one shown.
    void ShowText(const QString& text);
    const QString& Text() const { return m_text; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
};
