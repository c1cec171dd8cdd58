// The main window's command buttons and what the conversion pass reads from the window.
#include "conversion/ConversionLog.h"
#include "conversion/ConversionPass.h"
#include "conversion/ConvertedIndex.h"
#include "core/ErrorReport.h"
#include "core/FileProcedures.h"
#include "core/ProcessLaunch.h"
#include "core/RuntimeError.h"
#include "folders/AddFolder.h"
#include "ui/main/Form1.h"
#include "ui/options/Form2.h"
#include "ui_Form1.h"

#include <QLocale>
#include <QUrl>

namespace quarnel {

namespace {

const QUrl kContactPage(QStringLiteral("https://vantorell.example/contact/"));

} // namespace

void Form1::connectCommands()
{
    connect(m_ui->PushButton2, &QPushButton::clicked, this, &Form1::PushButton2_Click);
    connect(m_ui->PushButton9, &QPushButton::clicked, this, &Form1::PushButton9_Click);
    connect(m_ui->PushButton12, &QPushButton::clicked, this, &Form1::PushButton12_Click);
    connect(m_ui->PushButton10, &QPushButton::clicked, this, &Form1::PushButton10_Click);
    connect(m_ui->PushButton11, &QPushButton::clicked, this, &Form1::PushButton11_Click);
    connect(m_ui->PushButton3, &QPushButton::clicked, this, &Form1::PushButton3_Click);
}

void Form1::PushButton2_Click()
{
    GuardedProcedure guard(Location::Form1_PushButton2_Click, m_context.services.messages);
    guard.step(100, [&] { m_pass->ConvertPDFs(false); });
}

void Form1::PushButton9_Click()
{
    GuardedProcedure guard(Location::Form1_PushButton9_Click, m_context.services.messages);
    // Lines a pass still holds belong to the log being cleared: those PDFs are converted again too.
    m_pass->flushNow();
    guard.step(100, [&] {
        DeleteFileQuietly(m_logFilePath);
        // What was noted beside the log goes with it.
        for (const QString& noted : {LogVersionsPath(m_logFilePath), LogIndexPath(m_logFilePath)})
            DeleteFileQuietly(noted);
    });
    guard.step(102, [&] {
        AppendStringFSO(LogLine::started(LogDateTimeText(m_context.services.clock.now(), QLocale())), m_logFilePath, 2,
                        m_context.services.messages);
    });
}

void Form1::PushButton12_Click()
{
    GuardedProcedure guard(Location::Form1_PushButton12_Click, m_context.services.messages);
    guard.step(100, [&] {
        m_context.services.messages.inform(
            QStringLiteral("This will clear log with information about files previously converted.\r\n"
                           "So all PDF files in listed folders will be converted once again."));
    });
}

void Form1::PushButton10_Click()
{
    GuardedProcedure guard(Location::Form1_PushButton10_Click, m_context.services.messages);
    if (!IsFilePresent(m_logFilePath))
        return;
    guard.step(102, [&] {
        if (!m_context.services.opener.open(QUrl::fromLocalFile(m_logFilePath)))
            throw ShellError(31); // nothing on this desktop opens text files
    });
}

void Form1::PushButton11_Click()
{
    GuardedProcedure guard(Location::Form1_PushButton11_Click, m_context.services.messages);
    guard.step(100, [&] {
        options().show();
        options().raise();
        options().activateWindow();
    });
    guard.step(102, [&] { hide(); });
}

void Form1::PushButton3_Click()
{
    GuardedProcedure guard(Location::Form1_PushButton3_Click, m_context.services.messages);
    guard.step(100, [&] {
        m_context.services.messages.inform(QStringLiteral("Questions? Please contact Team Vantorell at ")
                                           + kContactPage.toString());
    });
}

int Form1::folderRowCount() const
{
    return m_ui->ListView1->topLevelItemCount();
}

QString Form1::folderRow(int index) const
{
    const QTreeWidgetItem* item = m_ui->ListView1->topLevelItem(index);
    return item ? item->text(0) : QString();
}

bool Form1::saveToFolder() const
{
    return m_ui->Option6->isChecked();
}

bool Form1::saveBesideOriginal() const
{
    return m_ui->Option5->isChecked();
}

QString Form1::outputFolder() const
{
    return m_ui->Text1->text();
}

void Form1::setBusy(bool busy)
{
    setMousePointer(busy ? MousePointer::Hourglass : MousePointer::Default);
    // One pass at a time: the button comes back when the pass is over.
    m_ui->PushButton2->setEnabled(!busy);
}

void Form1::setProgress(int value, const QString& caption)
{
    m_ui->ProgressBar1->setBarValue(value);
    m_ui->ProgressBar1->setCaption(caption);
}

} // namespace quarnel
