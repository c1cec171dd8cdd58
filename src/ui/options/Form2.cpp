#include "ui/options/Form2.h"

#include "core/ErrorReport.h"
#include "core/FileProcedures.h"
#include "core/NamedSettings.h"
#include "core/RuntimeError.h"
#include "core/SettingsStore.h"
#include "ui/ApplicationIcon.h"
#include "ui/WindowProcedures.h"
#include "ui_Form2.h"

#include <QApplication>
#include <QCloseEvent>
#include <QRadioButton>
#include <QScreen>
#include <algorithm>

namespace quarnel {

namespace { } // namespace

Form2::Form2(SettingsStore& settings, MessageBoxes& messages, const QString& programFolder, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_ui(std::make_unique<Ui::Form2>())
    , m_settings(settings)
    , m_messages(messages)
{
    m_ui->setupUi(this);
    setFont(WindowFont(9));
    m_ui->PushButton5->setFont(WindowFont(11.25));
    setFixedSize(536, 322);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    setLabelsGrey(false);

    for (const MethodEntry& method : kMethods) {
        connect(button(method), &QRadioButton::toggled, this, [this, &method](bool selected) {
            if (selected)
                OptionClick(method);
        });
    }
    connect(m_ui->Check5, &QCheckBox::toggled, this, &Form2::Check5_Click);
    connect(m_ui->Combo_Resolution, &QComboBox::activated, this,
            [this](int) { save(SettingKey::Resolution.name, m_ui->Combo_Resolution->currentText()); });
    connect(m_ui->Txt_Pages, &QLineEdit::textChanged, this,
            [this](const QString& text) { save(SettingKey::Pages.name, text); });
    connect(m_ui->Slider2, &QSlider::valueChanged, this, &Form2::Slider2_Change);
    connect(m_ui->PushButton5, &QPushButton::clicked, this, &Form2::PushButton5_Click);
    for (QWidget* widget :
         {static_cast<QWidget*>(this), static_cast<QWidget*>(m_ui->PushButton5), static_cast<QWidget*>(m_ui->Frame1),
          static_cast<QWidget*>(m_ui->Frame2), static_cast<QWidget*>(m_ui->Frame3), static_cast<QWidget*>(m_ui->Frame5),
          static_cast<QWidget*>(m_ui->Txt_Pages)}) {
        widget->setMouseTracking(true);
        widget->installEventFilter(this);
    }
    Form_Load(programFolder);
}

Form2::~Form2() = default;

void Form2::Form_Load(const QString& programFolder)
{
    GuardedProcedure guard(Location::Form2_Form_Load, m_messages);
    guard.step(100, [&] { setWindowTitle(QString::fromLatin1(kProductName)); });
    guard.step(102, [&] { setWindowIcon(ApplicationIcon()); });
    guard.step(104, [&] { SetApplicationTitle(); });
    guard.step(106, [&] { ApplySystemColours(this); });
    const QString cursorPath = programFolder + QStringLiteral("/HAND-M.CUR");
    if (guard.test(108, [&] { return PathExists(cursorPath); }))
        guard.step(110, [&] { m_customCursor = LoadPointerPicture(cursorPath); });
    guard.step(112, [&] { CentreOnScreen(this); });
}

void Form2::RestoreConversionOptions(GuardedProcedure& guard)
{
    // Numbered as the start-up's statements 166 to 226, one number per statement: a stored value that
    // cannot be read is reported at its own line.
    QString option;
    guard.step(166, [&] { option = m_settings.GetSetting(SettingKey::Option); });
    // Statements 168 to 198: eight numbers for each method's test and what it selects.
    for (const MethodEntry& method : kMethods) {
        const int first = 168 + 8 * (method.stored - 1);
        if (!guard.test(first, [&] { return option == QString::number(method.stored); }))
            continue;
        guard.step(first + 2, [&] { button(method)->setChecked(true); });
        if (method.hasPageOptions) {
            guard.step(first + 4, [&] { m_ui->Frame2->setEnabled(true); });
            guard.step(first + 6, [&] { setLabelsGrey(false); });
        } else {
            guard.step(first + 4, [&] { setLabelGrey(m_ui->Label3, true); });
            guard.step(first + 6, [&] { setLabelGrey(m_ui->Label1, true); });
        }
        break;
    }
    guard.step(200, [&] { m_ui->Combo_Resolution->clear(); });
    const QStringList resolutions = ResolutionChoices();
    for (int i = 0; i < resolutions.size(); ++i)
        guard.step(200 + 2 * i, [&] { m_ui->Combo_Resolution->addItem(resolutions[i]); });
    guard.step(210, [&] {
        // A stored resolution that is not in the list (an outside edit) selects nothing.
        m_ui->Combo_Resolution->setCurrentIndex(
            static_cast<int>(resolutions.indexOf(m_settings.GetSetting(SettingKey::Resolution))));
    });
    guard.step(212, [&] { m_ui->Txt_Pages->setText(m_settings.GetSetting(SettingKey::Pages)); });
    guard.step(214, [&] { m_ui->Check5->setChecked(TextToInteger16(m_settings.GetSetting(SettingKey::Check5)) != 0); });
    guard.step(216, [&] {
        const qint32 value = TextToInteger32(m_settings.GetSetting(SettingKey::Slider2));
        if (value < m_ui->Slider2->minimum() || value > m_ui->Slider2->maximum())
            throw RuntimeError(380, QStringLiteral("Invalid property value"));
        m_ui->Slider2->setValue(value);
    });
    guard.step(218, [&] { m_ui->Frame5->setTitle(QStringLiteral("Output Quality: %1%").arg(m_ui->Slider2->value())); });
    if (guard.test(220, [&] { return qualityApplies(); }))
        guard.step(222, [&] { m_ui->Frame5->setEnabled(true); });
    else
        guard.step(226, [&] { m_ui->Frame5->setEnabled(false); });
}

void Form2::save(const char* key, const QString& text)
{
    // Change handlers have no report of their own; a value that cannot be stored is only lost.
    try {
        m_settings.SaveSetting(QString::fromLatin1(key), text);
    } catch (const RuntimeError& error) {
        qWarning("Quarnel: %s was not stored: %s", key, error.what());
    }
}

void Form2::setLabelsGrey(bool grey)
{
    setLabelGrey(m_ui->Label3, grey);
    setLabelGrey(m_ui->Label1, grey);
}

void Form2::setLabelGrey(QLabel* label, bool grey)
{
    const QColor colour
        = grey ? QApplication::palette().color(QPalette::Disabled, QPalette::WindowText) : QColor(Qt::black);
    QPalette palette = label->palette();
    palette.setColor(QPalette::Active, QPalette::WindowText, colour);
    palette.setColor(QPalette::Inactive, QPalette::WindowText, colour);
    palette.setColor(QPalette::Disabled, QPalette::WindowText, colour);
    label->setPalette(palette);
}

void Form2::OptionClick(const MethodEntry& method)
{
    save(SettingKey::Option.name, QString::number(method.stored));
    m_ui->Frame2->setEnabled(method.hasPageOptions);
    setLabelsGrey(!method.hasPageOptions);
    m_ui->Frame5->setEnabled(qualityApplies());
}

QRadioButton* Form2::button(const MethodEntry& method) const
{
    return findChild<QRadioButton*>(QLatin1String(method.button));
}

bool Form2::qualityApplies() const
{
    return std::any_of(kMethods.begin(), kMethods.end(),
                       [&](const MethodEntry& method) { return method.usesQuality && button(method)->isChecked(); });
}

void Form2::Check5_Click()
{
    const bool ticked = m_ui->Check5->isChecked();
    save(SettingKey::Check5.name, ticked ? QStringLiteral("1") : QStringLiteral("0"));
    // A method that cannot convert the first page alone is off while this is ticked.
    for (const MethodEntry& method : kMethods) {
        if (method.firstPageOnly)
            continue;
        if (ticked && button(method)->isChecked())
            button(kMethods[0])->setChecked(true);
        button(method)->setEnabled(!ticked);
    }
}

void Form2::Slider2_Change()
{
    m_ui->Frame5->setTitle(QStringLiteral("Output Quality: %1%").arg(m_ui->Slider2->value()));
    save(SettingKey::Slider2.name, QString::number(m_ui->Slider2->value()));
}

void Form2::PushButton5_Click()
{
    GuardedProcedure guard(Location::Form2_PushButton5_Click, m_messages);
    guard.step(100, [&] { emit backRequested(); });
    guard.step(102, [&] { hide(); });
}

void Form2::closeEvent(QCloseEvent* event)
{
    GuardedProcedure guard(Location::Form2_Form_QueryUnload, m_messages);
    guard.step(100, [&] { emit closeRequested(); });
    event->accept();
}

bool Form2::eventFilter(QObject* watched, QEvent* event)
{
    if ((event->type() == QEvent::Enter || event->type() == QEvent::MouseMove) && cursor().shape() != Qt::WaitCursor) {
        if (watched == m_ui->PushButton5 && m_customCursor)
            setCursor(*m_customCursor);
        else
            unsetCursor();
    }
    return QWidget::eventFilter(watched, event);
}

Method Form2::selectedMethod() const
{
    // Tested in the order the pass has always tested the buttons.
    for (const Method method : {Method::Acrobat, Method::Ghostscript, Method::BlackWhite, Method::GflAx})
        if (button(MethodOf(method))->isChecked())
            return method;
    return Method::None;
}

bool Form2::firstPageOnly() const
{
    return m_ui->Check5->isChecked();
}

int Form2::quality() const
{
    return m_ui->Slider2->value();
}

QString Form2::pagesText() const
{
    return m_ui->Txt_Pages->text();
}

QString Form2::resolutionText() const
{
    return m_ui->Combo_Resolution->currentText();
}

} // namespace quarnel
