#pragma once

#include "core/Services.h"

namespace quarnel {

// Message boxes for a program without a window: every text goes to standard error, as one paragraph
// with its line breaks; a question is answered No (nobody is there to say Yes).
class ConsoleMessages final : public MessageBoxes
{
public:
    void inform(const QString& text) override;
    bool ask(const QString& text) override;
    void warn(const QString& title, const QString& text) override;
};

} // namespace quarnel
