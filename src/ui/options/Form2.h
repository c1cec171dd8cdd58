#pragma once

#include "conversion/PassInputs.h"

#include <QCursor>
#include <QWidget>

class QRadioButton;
#include <memory>
#include <optional>

namespace Ui {
class Form2;
}

class QLabel;

namespace quarnel {

class GuardedProcedure;
class MessageBoxes;
class SettingsStore;

// The conversion options window. Its controls are the live options; each change is stored at once.
class Form2 final : public QWidget, public MethodOptions
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Form2)

public:
    Form2(SettingsStore& settings, MessageBoxes& messages, const QString& programFolder, QWidget* parent = nullptr);
    ~Form2() override;

    // Fills the controls from the settings; errors are reported through the caller's guard.
    void RestoreConversionOptions(GuardedProcedure& guard);

    Method selectedMethod() const override;
    bool firstPageOnly() const override;
    int quality() const override;
    QString pagesText() const override;
    QString resolutionText() const override;

signals:
    void backRequested();
    void closeRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load(const QString& programFolder);
    void OptionClick(const MethodEntry& method);
    QRadioButton* button(const MethodEntry& method) const;
    bool qualityApplies() const;
    void Check5_Click();
    void Slider2_Change();
    void PushButton5_Click();
    void applyInvariants();
    void setLabelsGrey(bool grey);
    static void setLabelGrey(QLabel* label, bool grey);
    void save(const char* key, const QString& text);

    std::unique_ptr<Ui::Form2> m_ui;
    SettingsStore& m_settings;
    MessageBoxes& m_messages;
    std::optional<QCursor> m_customCursor;
};

} // namespace quarnel
