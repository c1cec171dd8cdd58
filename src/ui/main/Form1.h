#pragma once

#include "conversion/PassInputs.h"
#include "core/Services.h"
#include "desktop/HotKey.h"
#include "desktop/SysTray.h"
#include "scheduler/Scheduler.h"

#include <QCursor>
#include <QWidget>
#include <memory>
#include <optional>

namespace Ui {
class Form1;
}

class QAbstractButton;
class QTreeWidget;

namespace quarnel {

class CaptionProgressBar;
class GuardedProcedure;
class ConversionPass;
class Form2;
class SettingsStore;

// What the main window is given: the services it calls and where it finds its files.
struct Form1Context
{
    Services services;
    SettingsStore& settings;
    QString programFolder;
    // The running program's file, for the start-at-login entry.
    QString programFile;
    std::unique_ptr<TrayBackend> tray;
    std::unique_ptr<GlobalHotKey> hotKey;
};

// The main window: start-up, close, the mouse-pointer convention and the controls' wiring.
class Form1 final : public QWidget, public PassInputs, public SchedulerView
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Form1)

public:
    enum class MousePointer { Default, Hourglass, Custom };

    explicit Form1(Form1Context context, QWidget* parent = nullptr);
    ~Form1() override;

    // Start-up: restores every stored value and arms the other parts. Run once before the window shows.
    void Form_Load();
    // Close handling: saves the folder list and ends the program. Runs however the program is asked to end.
    void Form_QueryUnload();

    MousePointer mousePointer() const { return m_pointer; }
    void setMousePointer(MousePointer pointer);
    bool isBusy() const { return m_pointer == MousePointer::Hourglass; }
    bool loading() const { return m_loading; }
    QString logFilePath() const { return m_logFilePath; }
    QStringList folderRows() const;
    // Saves the folder list without ending; for a session that is being saved.
    void SaveFolderList();

    // Folder list.
    void PushButton1_Click();
    void PushButton4_Click();
    void PushButton5_Click();
    void PushButton6_Click();
    void RemoveSelectedRow();
    void ReadListFile(const QString& path);
    void AppendFolderRows(const QStringList& rows);
    // What "Add Folders/Subfolders To List" does once the folder is chosen.
    void AddFolderTree(const QString& folder);
    // Takes a folder and every folder beneath it off the list; the rows taken off.
    int RemoveFolderTree(const QString& folder);
    // Shows the stored settings again in the controls, after they were stored from elsewhere.
    void ApplyStoredSettings();

    // Saving option.
    void OptionClick();
    void Text1_Change();
    void PushButton7_Click();

    // Command buttons.
    void PushButton2_Click();
    void PushButton9_Click();
    void PushButton12_Click();
    void PushButton10_Click();
    void PushButton11_Click();
    void PushButton3_Click();

    // Automatic conversion, the tray, start at login.
    void Check3_Click();
    void Check8_Click();
    void Form_Resize();
    void cSysTray1_MouseUp(short button, int id);
    // Shows the window from the tray, a minimised state or behind others; with the activation token of
    // the start that asked, where one came (Wayland gives the focus only so).
    void bringToFront(const QByteArray& activationToken = {});
    // Offers, once, to add GNOME's keyboard shortcut for Ctrl+Shift+T where nothing else brings it.
    void offerDesktopShortcut();
    // Shows the window, or (start in tray) leaves it hidden with the tray's balloon; after Form_Load.
    void ShowAtStart();
    bool minimizedToTray() const { return m_minimizedToTray; }

    // The options window, created hidden by its first access (the start-up's restore of its values).
    Form2& options();
    // What the methods read of it, through that same first access.
    MethodOptions& methodOptions() const;
    Scheduler& scheduler() const { return *m_scheduler; }
    cSysTray& tray() const { return *m_tray; }
    ConversionPass& pass() const { return *m_pass; }

    // What the conversion pass reads and shows.
    int folderRowCount() const override;
    QString folderRow(int index) const override;
    bool saveToFolder() const override;
    bool saveBesideOriginal() const override;
    QString outputFolder() const override;
    void setBusy(bool busy) override;
    void setProgress(int value, const QString& caption) override;
    IgnoreList ignoreList() const override;
    bool logSkipped() const override;
    void addNewSubfolders() override;
    // Remembers rows taken off under a folder whose new subfolders are watched (they stay off).
    void rememberRemoved(const QStringList& rows);

    // What the scheduler reads and shows.
    QString toggleCaption() const override;
    void setToggleCaption(const QString& caption) override;
    void setStatusLine(const QString& text) override;
    void setCountdown(qint32 maximum, qint32 value) override;
    QString intervalText(int box) const override;
    void setIntervalText(int box, const QString& text) override;
    void resetPointer() override;
    void setPassProgress(int value) override;
    void setPassProgressCaption(const QString& caption) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setUpPointerConvention();
    void connectFolderList();
    bool handleListEvent(QObject* watched, QEvent* event);
    void connectSavingOption();
    void connectCommands();
    void connectDesktop();
    void restoreDesktop(GuardedProcedure& guard);
    bool handleIntervalFocus(QObject* watched, QEvent* event);
    void restoreSavingOption(GuardedProcedure& guard);
    void addFolderTree(GuardedProcedure& guard, const QString& chosen);
    static void setOption(QAbstractButton* option, bool selected);
    QTreeWidget* listView() const;

    std::unique_ptr<Ui::Form1> m_ui;
    Form1Context m_context;
    bool m_loading = false;
    bool m_closing = false;
    QString m_logFilePath;
    MousePointer m_pointer = MousePointer::Default;
    std::optional<QCursor> m_customCursor;
    std::unique_ptr<Form2> m_form2;
    class LazyOptions;
    std::unique_ptr<LazyOptions> m_methodOptions;
    std::unique_ptr<ConversionPass> m_pass;
    std::unique_ptr<Scheduler> m_scheduler;
    std::unique_ptr<cSysTray> m_tray;
    std::unique_ptr<GlobalHotKey> m_hotKey;
    bool m_minimizedToTray = false;
    bool m_startInTray = false;
    bool m_refocusing = false;
};

} // namespace quarnel
