// The saving option of the main window: into one folder, or beside each PDF.
#include "core/ErrorReport.h"
#include "core/FileProcedures.h"
#include "core/Paths.h"
#include "core/SettingsStore.h"
#include "ui/main/Form1.h"
#include "ui_Form1.h"

#include <QDebug>

namespace quarnel {

namespace {

QString trueFalse(bool value)
{
    return value ? QStringLiteral("True") : QStringLiteral("False");
}

} // namespace

void Form1::connectSavingOption()
{
    // Like a click, only a button becoming selected counts; deselecting one stores nothing.
    const auto onToggle = [this](bool selected) {
        if (selected)
            OptionClick();
    };
    connect(m_ui->Option6, &QRadioButton::toggled, this, onToggle);
    connect(m_ui->Option5, &QRadioButton::toggled, this, onToggle);
    connect(m_ui->Text1, &QLineEdit::textChanged, this, &Form1::Text1_Change);
    connect(m_ui->PushButton7, &QPushButton::clicked, this, &Form1::PushButton7_Click);
}

void Form1::setOption(QAbstractButton* option, bool selected)
{
    if (selected || !option->isChecked()) {
        option->setChecked(selected);
        return;
    }
    // An exclusive button cannot be deselected directly; a stored "False" for both must still show.
    option->setAutoExclusive(false);
    option->setChecked(false);
    option->setAutoExclusive(true);
}

void Form1::restoreSavingOption(GuardedProcedure& guard)
{
    guard.step(132, [&] {
        // The desktop is asked for only when it is needed, so a stored folder never depends on it.
        m_ui->Text1->setText(m_context.settings.Contains(SettingKey::OutputFolder)
                                 ? m_context.settings.GetSetting(SettingKey::OutputFolder)
                                 : DesktopFolder());
    });
    guard.step(134,
               [&] { setOption(m_ui->Option6, TextToBoolean(m_context.settings.GetSetting(SettingKey::Option6))); });
    guard.step(136,
               [&] { setOption(m_ui->Option5, TextToBoolean(m_context.settings.GetSetting(SettingKey::Option5))); });
    // Neither selected (both stored "False" by an outside edit): the pass needs one, so the folder option.
    if (!m_ui->Option6->isChecked() && !m_ui->Option5->isChecked())
        m_ui->Option6->setChecked(true);
    if (guard.test(138, [&] { return m_ui->Option6->isChecked(); }))
        guard.step(140, [&] { m_ui->Frame4->setEnabled(true); });
    else
        guard.step(142, [&] { m_ui->Frame4->setEnabled(false); });
}

void Form1::OptionClick()
{
    // A change handler with no report of its own: a store that cannot be written loses this value only.
    try {
        m_context.settings.SaveSetting(SettingKey::Option6, trueFalse(m_ui->Option6->isChecked()));
        m_context.settings.SaveSetting(SettingKey::Option5, trueFalse(m_ui->Option5->isChecked()));
    } catch (const RuntimeError& error) {
        qWarning("Quarnel: the saving option was not stored: %s", error.what());
    }
    m_ui->Frame4->setEnabled(m_ui->Option6->isChecked());
}

void Form1::Text1_Change()
{
    try {
        m_context.settings.SaveSetting(SettingKey::OutputFolder, m_ui->Text1->text());
    } catch (const RuntimeError& error) {
        qWarning("Quarnel: the output folder was not stored: %s", error.what());
    }
}

void Form1::PushButton7_Click()
{
    GuardedProcedure guard(Location::Form1_PushButton7_Click, m_context.services.messages);
    QString folder;
    guard.step(100, [&] {
        folder = m_context.services.dialogs.browseForFolder(this, QStringLiteral("Please select folder:"), QString());
    });
    if (folder.isEmpty())
        return;
    if (guard.test(104, [&] { return !folder.endsWith(kNativeSeparator); }))
        guard.step(106, [&] { m_ui->Text1->setText(folder + kNativeSeparator); });
    else
        guard.step(108, [&] { m_ui->Text1->setText(folder); });
}

} // namespace quarnel
