#pragma once

#include "app/CopyControl.h"
#include "conversion/ConversionPass.h"
#include "conversion/Methods.h"
#include "conversion/PassQueue.h"
#include "conversion/StoredInputs.h"
#include "core/ConsoleMessages.h"
#include "core/SettingsStore.h"
#include "ui/QtServices.h"

#include <functional>

namespace quarnel {

// The program without a window: the pass and its methods on the stored settings and folder list, error
// reports on standard error, and the running copy's part for later starts.
class HeadlessCopy final : public ControlledCopy
{
public:
    HeadlessCopy(SettingsStore& settings, SingleInstance& instance);

    ConversionPass& pass() { return m_pass; }
    PassQueue& passes() { return m_passes; }
    // Writes the log's "Started" line, as every start of the program does.
    void logStart();

    QStringList folders() const override { return m_inputs.folders(); }
    void addFolderTree(const QString& folder) override;
    int removeFolderTree(const QString& folder) override;
    void settingStored(const SettingChange& change) override;
    bool toggleAutomatic() override;
    CopySchedule schedule() const override;
    const ConversionPass& conversionPass() const override { return m_pass; }
    // When the service's next pass falls due (invalid: none).
    void setNextPass(const QDateTime& when) { m_nextPass = when; }
    // The stored interval; its default when it is too long to hold (then tooLong is set).
    qint32 intervalSeconds(bool* tooLong = nullptr) const;

    // Whether automatic conversion is on: as stored, but the service starts with its passes on.
    // --toggle-automatic turns it off and on as the window's button does, and stores the state as it does.
    bool automaticOn() const { return m_automaticOn; }
    void setAutomaticOn(bool on) { m_automaticOn = on; }
    // Told when --toggle-automatic changed it.
    std::function<void(bool on)> automaticToggled;

private:
    SettingsStore& m_settings;
    ConsoleMessages m_messages;
    SystemClock m_clock;
    StoredInputs m_inputs;
    ConversionPass m_pass;
    MethodSet m_methods;
    PassQueue m_passes;
    CopyControl m_control;
    bool m_automaticOn;
    QDateTime m_nextPass;
};

} // namespace quarnel
