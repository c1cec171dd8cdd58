#include "ui/CaptionProgressBar.h"

#include <algorithm>

namespace quarnel {

CaptionProgressBar::CaptionProgressBar(QWidget* parent)
    : QProgressBar(parent)
{
    setTextVisible(true);
    setAlignment(Qt::AlignCenter);
    showState();
}

void CaptionProgressBar::setCaption(const QString& caption)
{
    m_caption = caption;
    update();
}

void CaptionProgressBar::setBarMaximum(int maximum)
{
    m_maximum = maximum;
    showState();
}

void CaptionProgressBar::setBarValue(int value)
{
    m_value = value;
    showState();
}

void CaptionProgressBar::showState()
{
    const int maximum = std::max(m_maximum, 0);
    setRange(0, std::max(maximum, 1));
    setValue(maximum == 0 ? 0 : std::clamp(m_value, 0, maximum));
    update();
}

} // namespace quarnel
