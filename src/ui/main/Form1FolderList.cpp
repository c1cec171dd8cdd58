// The folder list of the main window: adding trees, the sample folder and list files; removing rows.
#include "core/ErrorReport.h"
#include "core/FileProcedures.h"
#include "core/Paths.h"
#include "core/SettingsStore.h"
#include "folders/AddFolder.h"
#include "folders/FolderListFormat.h"
#include "folders/FolderWatch.h"
#include "folders/ListFile.h"
#include "ui/main/Form1.h"
#include "ui_Form1.h"

#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QUrl>

namespace quarnel {

namespace {

constexpr qsizetype kDialogBufferCharacters = 30000;
// Rows are added in batches with a yield in between, so a huge list file never freezes the window.
constexpr qsizetype kRowBatch = 2000;

const QString kFolderPrompt = QStringLiteral("Please select folder:");

} // namespace

void Form1::connectFolderList()
{
    connect(m_ui->PushButton1, &QPushButton::clicked, this, &Form1::PushButton1_Click);
    connect(m_ui->PushButton4, &QPushButton::clicked, this, &Form1::PushButton4_Click);
    connect(m_ui->PushButton5, &QPushButton::clicked, this, &Form1::PushButton5_Click);
    connect(m_ui->PushButton6, &QPushButton::clicked, this, &Form1::PushButton6_Click);
    m_ui->ListView1->installEventFilter(this);
    m_ui->ListView1->viewport()->installEventFilter(this);
}

bool Form1::handleListEvent(QObject* watched, QEvent* event)
{
    if (watched == m_ui->ListView1 && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
        RemoveSelectedRow();
        return true;
    }
    if (watched == m_ui->ListView1->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        RemoveSelectedRow();
        return true;
    }
    return false;
}

void Form1::AppendFolderRows(const QStringList& rows)
{
    QElapsedTimer sinceYield;
    sinceYield.start();
    for (qsizetype first = 0; first < rows.size(); first += kRowBatch) {
        QList<QTreeWidgetItem*> items;
        const qsizetype last = std::min(rows.size(), first + kRowBatch);
        items.reserve(last - first);
        for (qsizetype i = first; i < last; ++i)
            items.append(new QTreeWidgetItem(QStringList {rows[i]}));
        m_ui->ListView1->addTopLevelItems(items);
        if (last < rows.size() && sinceYield.elapsed() > 30) {
            YieldToEvents();
            sinceYield.restart();
        }
    }
}

void Form1::PushButton1_Click()
{
    GuardedProcedure guard(Location::Form1_PushButton1_Click, m_context.services.messages);
    QString chosen;
    guard.step(100, [&] { chosen = m_context.services.dialogs.browseForFolder(this, kFolderPrompt, QString()); });
    if (chosen.isEmpty())
        return;
    addFolderTree(guard, chosen);
}

void Form1::AddFolderTree(const QString& folder)
{
    GuardedProcedure guard(Location::Form1_PushButton1_Click, m_context.services.messages);
    addFolderTree(guard, folder);
}

void Form1::addFolderTree(GuardedProcedure& guard, const QString& chosen)
{
    guard.step(104, [&] { setMousePointer(MousePointer::Hourglass); });
    QStringList folders;
    guard.step(106, [&] { folders = {chosen + kNativeSeparator}; });
    const IgnoreList ignore = ignoreList();
    guard.step(108, [&] { GetSubDirectories2016(folders, true, m_context.services.messages, YieldToEvents, &ignore); });
    guard.step(110, [&] {
        QStringList rows;
        rows.reserve(folders.size());
        for (const QString& folder : std::as_const(folders))
            rows.append(CollapseBackslashes(folder));
        AppendFolderRows(rows);
        if (!rows.isEmpty())
            FolderTrees(m_context.settings).added(rows.first());
    });
    guard.step(112, [&] { setMousePointer(MousePointer::Default); });
}

int Form1::RemoveFolderTree(const QString& folder)
{
    const QStringList rows = folderRows();
    const QStringList kept = WithoutFolderTree(rows, folder);
    if (kept.size() == rows.size())
        return 0;
    m_ui->ListView1->clear();
    AppendFolderRows(kept);
    QStringList taken = rows;
    taken.removeIf([&](const QString& row) { return kept.contains(row); });
    rememberRemoved(taken);
    return static_cast<int>(rows.size() - kept.size());
}

void Form1::PushButton5_Click()
{
    GuardedProcedure guard(Location::Form1_PushButton5_Click, m_context.services.messages);
    guard.step(100, [&] {
        if (isBusy())
            return;
        m_ui->ListView1->clear();
        FolderTrees(m_context.settings).cleared();
    });
}

void Form1::PushButton6_Click()
{
    GuardedProcedure guard(Location::Form1_PushButton6_Click, m_context.services.messages);
    const QString samples = m_context.programFolder + QStringLiteral("/Samples");
    guard.step(100, [&] { AppendFolderRows({samples}); });
    bool open = false;
    guard.step(102, [&] {
        open = m_context.services.messages.ask(QStringLiteral(
            "Would you like this software to open the folder where these sample files are stored (so that you "
            "can view them before working with them)?"));
    });
    if (open)
        guard.step(104, [&] { m_context.services.opener.open(QUrl::fromLocalFile(samples + u'/')); });
}

void Form1::RemoveSelectedRow()
{
    if (isBusy() || m_ui->ListView1->topLevelItemCount() == 0)
        return;
    QTreeWidgetItem* item = m_ui->ListView1->currentItem();
    if (item)
        rememberRemoved({item->text(0)});
    delete item;
}

void Form1::rememberRemoved(const QStringList& rows)
{
    // The row goes either way; only its staying off is lost when the settings cannot be written.
    try {
        FolderTrees(m_context.settings).removed(rows);
    } catch (const RuntimeError& error) {
        qWarning("Quarnel: the folders taken off were not stored: %s", error.what());
    }
}

IgnoreList Form1::ignoreList() const
{
    return IgnoreList::FromSettings(m_context.settings);
}

bool Form1::logSkipped() const
{
    return m_context.settings.GetSetting(SettingKey::LogSkipped) == QLatin1String("On");
}

void Form1::addNewSubfolders()
{
    const QStringList found
        = FolderTrees(m_context.settings).newSubfolders(folderRows(), m_context.services.messages, YieldToEvents);
    if (found.isEmpty())
        return;
    AppendFolderRows(found);
    // Stored at once, so that --folders and the next start see them even should this copy be killed.
    try {
        m_context.settings.SaveSetting(SettingKey::Listview1, FolderListToStored(folderRows()));
    } catch (const RuntimeError& error) {
        qWarning("Quarnel: the folder list was not stored: %s", error.what());
    }
}

void Form1::PushButton4_Click()
{
    GuardedProcedure guard(Location::Form1_PushButton4_Click, m_context.services.messages);
    QStringList chosen;
    guard.step(100, [&] {
        chosen = m_context.services.dialogs.openFiles(
            this, QStringLiteral("Load List(s) - Hold Ctrl to select multiple list files"),
            {QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*)")});
    });
    if (DialogResultLength(chosen) > kDialogBufferCharacters) {
        m_context.services.messages.inform(
            QStringLiteral("You've selected too many files to add.\r\rPlease try adding via the \"Add All\" button."));
        return;
    }
    guard.step(104, [&] { setMousePointer(MousePointer::Hourglass); });
    for (const QString& path : std::as_const(chosen))
        guard.step(108, [&] { ReadListFile(path); });
    guard.step(112, [&] { setMousePointer(MousePointer::Default); });
}

void Form1::ReadListFile(const QString& path)
{
    if (!PathExists(path)) {
        m_context.services.messages.inform(QStringLiteral("File not found"));
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw RuntimeError(file.error() == QFileDevice::PermissionsError ? ErrorNumber::PermissionDenied
                                                                         : ErrorNumber::FileNotFound);
    AppendFolderRows(ListFileEntries(file.readAll()));
}

} // namespace quarnel
