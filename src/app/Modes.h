#pragma once

#include <QString>

namespace quarnel {

// What one start of the program does.
struct StartRequest
{
    enum class Mode {
        Window,
        ConvertNow,
        Service,
        Folders,
        AddFolder,
        RemoveFolder,
        ShowSettings,
        Set,
        ToggleAutomatic,
        Status,
        Failures
    } mode
        = Mode::Window;
    QString argument; // the folder, or NAME=VALUE
};

// Each returns the program's exit status.
int RunWindow(int argc, char* argv[]);
int RunConvertNow(int argc, char* argv[]);
int RunService(int argc, char* argv[]);
int RunSettingsCommand(int argc, char* argv[], const StartRequest& request);

} // namespace quarnel
