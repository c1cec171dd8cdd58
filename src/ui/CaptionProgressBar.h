#pragma once

#include <QProgressBar>

namespace quarnel {

// A progress bar that shows a caption of its own instead of a percentage, and that keeps its value
// when a new maximum falls below it (the bar then draws full).
class CaptionProgressBar final : public QProgressBar
{
    Q_OBJECT
    Q_PROPERTY(QString caption READ caption WRITE setCaption)

public:
    explicit CaptionProgressBar(QWidget* parent = nullptr);

    QString caption() const { return m_caption; }
    void setCaption(const QString& caption);

    int barMaximum() const { return m_maximum; }
    int barValue() const { return m_value; }
    void setBarMaximum(int maximum);
    void setBarValue(int value);

    QString text() const override { return m_caption; }

private:
    void showState();

    QString m_caption;
    int m_maximum = 100;
    int m_value = 0;
};

} // namespace quarnel
