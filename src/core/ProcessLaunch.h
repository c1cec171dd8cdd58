#pragma once

#include "core/RuntimeError.h"

#include <QString>
#include <chrono>
#include <functional>
#include <optional>
#include <sys/types.h>

namespace quarnel {

// How long a converter's batch file may run before it is ended with everything it started.
inline constexpr std::chrono::minutes kBatchTimeLimit {10};

// The run-time error a shell failure code stands for, with the shell's message.
RuntimeError ShellError(int code);

// Starts what the shell would "open": a .bat file through the batch runner, an executable directly,
// anything else through the desktop's opener. Tests replace it.
class Launcher
{
public:
    virtual ~Launcher() = default;
    // A process id to wait for (0 when there is none, as for the opener); a shell failure code
    // (0 to 32) in `failure` when it could not start.
    virtual pid_t launch(const QString& file, const QString& parameters, const QString& directory, int windowStyle,
                         int& failure)
        = 0;
};

class SystemLauncher final : public Launcher
{
public:
    // The program folder holds the batch runner and the converters' tools.
    explicit SystemLauncher(QString programFolder);
    pid_t launch(const QString& file, const QString& parameters, const QString& directory, int windowStyle,
                 int& failure) override;

private:
    QString m_programFolder;
};

// The launch result: above 32 when accepted, 0 to 32 a failure code, with the error handed back.
int GShell(Launcher& launcher, const QString& fileName, qint32 windowStyle, const QString& parameters,
           const QString& directory, const QString& operation, std::optional<RuntimeError>& error,
           pid_t* started = nullptr);

// Opens the file in the folder and waits, serving the window's events, until the started process ends.
// Returns its exit code; -1 when it could not start; -2 when it ran past the time limit and was
// ended together with every process it started.
qint32 OpenAndWait(Launcher& launcher, const QString& fileName, qint32 windowStyle, const QString& directory,
                   std::chrono::milliseconds timeLimit = kBatchTimeLimit);

// Ends the batch file being waited for, if any, with everything it started, and removes the pass's
// staging folder; for the program's end, which runs no destructors.
void EndRunningBatch();
// A converter that runs beside the program rather than being waited for (the renderer's worker), from its
// start to its end, so that the program's end can end it.
void RegisterWorkerProcess(qint64 pid);
void UnregisterWorkerProcess(qint64 pid);
// The program's end: ends the registered workers and waits (briefly) until they are gone, so that none
// writes into a folder being removed, then does what EndRunningBatch does.
void EndConverters();
// The staging folder in use (empty when none), so that an end in the middle of a pass removes it.
void SetActiveStagingFolder(const QString& folder);
// Likewise the folder of the pages rendered ahead.
void SetRenderAheadFolder(const QString& folder);
// The names the staging folders and the folders of pages rendered ahead start with, in the temporary folder.
inline constexpr char kStagingFolderPrefix[] = "quarnel-staging-";
inline constexpr char kAheadFolderPrefix[] = "quarnel-ahead-";
// At start-up, with no other copy running: removes such folders (ours, not links) that a run ended without
// its end procedure (killed, a power cut) left in the temporary folder.
void RemoveLeftoverWorkFolders(const QString& tempFolder);

// The environment variable through which the batch runner learns which process it must not outlive.
inline constexpr char kParentPidVariable[] = "QUARNEL_PARENT_PID";
// At start-up, with no other copy running: ends every process of this user that a run that was killed
// left working in the temporary folder's working folders (ps/, bw/).
void EndLeftoverConverters(const QString& tempFolder);

// Waits up to the given time while serving events, until the condition holds; true when it did.
bool WaitServingEvents(const std::function<bool()>& condition, std::chrono::milliseconds timeLimit,
                       std::chrono::milliseconds poll = std::chrono::milliseconds(100));

} // namespace quarnel
