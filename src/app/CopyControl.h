#pragma once

#include "core/NamedSettings.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>

namespace quarnel {

class ConversionPass;
class InstanceRequest;
struct LoggedPass;
class PassQueue;
class SettingsStore;
class SingleInstance;

// When the copy's next automatic pass falls due.
struct CopySchedule
{
    bool automatic = false;
    qint32 intervalSeconds = 0;
    QDateTime nextPass; // invalid while none is due
};

// What a running copy does for the command line, in its own way: the window shows and keeps its
// list and controls, a copy without a window keeps them in the settings file.
class ControlledCopy
{
public:
    virtual ~ControlledCopy() = default;
    virtual QStringList folders() const = 0;
    virtual void addFolderTree(const QString& folder) = 0;
    // The rows taken off.
    virtual int removeFolderTree(const QString& folder) = 0;
    // The change is in the settings file: the copy takes it in.
    virtual void settingStored(const SettingChange& change) = 0;
    // Turns automatic conversion on or off, as the window's button does; true when it is on now.
    virtual bool toggleAutomatic() = 0;
    virtual CopySchedule schedule() const = 0;
    virtual const ConversionPass& conversionPass() const = 0;
};

// Serves the requests later starts hand the running copy: a pass now, the folder list, a setting.
class CopyControl final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CopyControl)

public:
    CopyControl(SingleInstance& instance, PassQueue& passes, SettingsStore& settings, ControlledCopy& copy,
                QObject* parent = nullptr);

private:
    void serve(InstanceRequest* request);
    void convert(InstanceRequest* request);

    PassQueue& m_passes;
    SettingsStore& m_settings;
    ControlledCopy& m_copy;
};

// What --status prints from a running copy, NAME=VALUE lines: what it does now, its schedule, and the
// last pass that ended with the lines of the PDFs that failed in it.
QStringList CopyStatusLines(const ConversionPass& pass, const CopySchedule& schedule);
// The same from the log and the settings alone, when no copy runs.
QStringList LoggedStatusLines(const std::optional<LoggedPass>& last, const SettingsStore& settings);

// What --toggle-automatic prints: the state it left.
QString AutomaticStateLine(bool on);

// A start-at-login change made outside the window: the entry follows the stored setting.
void FollowStartAtLogin(const SettingsStore& settings, const QString& programFile);

} // namespace quarnel
