#include "ui/main/Form1.h"

#include "conversion/ConversionLog.h"
#include "conversion/ConversionPass.h"
#include "core/EndDeferral.h"
#include "core/ErrorReport.h"
#include "core/FileProcedures.h"
#include "core/RuntimeError.h"
#include "core/SettingsStore.h"
#include "desktop/HotKey.h"
#include "desktop/SysTray.h"
#include "folders/FolderListFormat.h"
#include "ui/ApplicationIcon.h"
#include "ui/WindowProcedures.h"
#include "ui/options/Form2.h"
#include "ui_Form1.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QLocale>
#include <QPushButton>
#include <QUrl>

namespace quarnel {

namespace {

// The maker's home page, opened now and then at start-up.
const QUrl kMakerHomePage(QStringLiteral("https://vantorell.example/"));
constexpr int kListColumnWidth = (7000 + 7) / 15; // 7000 twips at 96 dpi, rounded

} // namespace

class Form1::LazyOptions final : public MethodOptions
{
public:
    explicit LazyOptions(Form1& form)
        : m_form(form)
    { }
    Method selectedMethod() const override { return m_form.options().selectedMethod(); }
    bool firstPageOnly() const override { return m_form.options().firstPageOnly(); }
    int quality() const override { return m_form.options().quality(); }
    QString pagesText() const override { return m_form.options().pagesText(); }
    QString resolutionText() const override { return m_form.options().resolutionText(); }

private:
    Form1& m_form;
};

Form1::Form1(Form1Context context, QWidget* parent)
    : QWidget(parent)
    , m_ui(std::make_unique<Ui::Form1>())
    , m_context(std::move(context))
{
    m_ui->setupUi(this);
    setFont(WindowFont(9));
    for (QPushButton* button : findChildren<QPushButton*>())
        button->setFont(WindowFont(11.25));
    setFixedSize(536, 634);
    CentreOnScreen(this);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    // The column keeps its width, so long names can be revealed by dragging its edge.
    m_ui->ListView1->header()->setStretchLastSection(false);
    setUpPointerConvention();
    m_methodOptions = std::make_unique<LazyOptions>(*this);
    m_pass = std::make_unique<ConversionPass>(*this, *m_methodOptions, m_context.services.messages,
                                              m_context.services.clock, DefaultLogFilePath());
    connectFolderList();
    connectSavingOption();
    connectCommands();
    connectDesktop();
}

Form1::~Form1() = default;

Form2& Form1::options()
{
    if (!m_form2) {
        m_form2 = std::make_unique<Form2>(m_context.settings, m_context.services.messages, m_context.programFolder);
        connect(m_form2.get(), &Form2::backRequested, this, [this] { show(); });
        connect(m_form2.get(), &Form2::closeRequested, this, &Form1::Form_QueryUnload);
    }
    return *m_form2;
}

MethodOptions& Form1::methodOptions() const
{
    return *m_methodOptions;
}

QTreeWidget* Form1::listView() const
{
    return m_ui->ListView1;
}

void Form1::Form_Load()
{
    GuardedProcedure guard(Location::Form1_Form_Load, m_context.services.messages);
    guard.step(100, [&] { ApplySkin(m_context.programFolder, this); });
    guard.step(102, [&] { m_loading = true; });
    const QString cursorPath = m_context.programFolder + QStringLiteral("/HAND-M.CUR");
    if (guard.test(104, [&] { return PathExists(cursorPath); })) {
        guard.step(106, [&] { m_customCursor = LoadPointerPicture(cursorPath); });
    }
    guard.step(108, [&] {
        if (m_context.services.random.percent() == 7)
            m_context.services.opener.open(kMakerHomePage);
    });
    guard.step(126, [&] {
        setWindowTitle(QString::fromLatin1(kProductName));
        setWindowIcon(ApplicationIcon());
        SetApplicationTitle();
    });
    guard.step(128, [&] { listView()->setHeaderLabels({QStringLiteral("Folders with PDF File(s)")}); });
    guard.step(130, [&] { listView()->setColumnWidth(0, kListColumnWidth); });
    restoreSavingOption(guard);
    guard.step(144, [&] { m_ui->Text11->setText(m_context.settings.GetSetting(SettingKey::Text11)); });
    guard.step(146, [&] { m_ui->Text22->setText(m_context.settings.GetSetting(SettingKey::Text22)); });
    guard.step(148, [&] { m_ui->Text33->setText(m_context.settings.GetSetting(SettingKey::Text33)); });
    guard.step(150, [&] {
        m_logFilePath = DefaultLogFilePath();
        m_pass->setLogFilePath(m_logFilePath);
    });
    guard.step(152, [&] {
        AppendStringFSO(LogLine::started(LogDateTimeText(m_context.services.clock.now(), QLocale())), m_logFilePath, 2,
                        m_context.services.messages);
    });
    QString stored;
    if (guard.test(154, [&] {
            stored = m_context.settings.GetSetting(SettingKey::Listview1);
            return !stored.isEmpty();
        })) {
        // Split, with pieces of blanks only left out (156 to 160); the rest are added as they are, in bulk.
        QStringList rows;
        guard.step(156, [&] { rows = FolderListFromStored(stored); });
        guard.step(162, [&] { AppendFolderRows(rows); });
    }
    options().RestoreConversionOptions(guard);
    guard.step(228, [&] { m_loading = false; });
    restoreDesktop(guard);
}

void Form1::Form_QueryUnload()
{
    // A second request to end while the first is still yielding below must not save twice.
    if (m_closing)
        return;
    // In the middle of placing a PDF's images: ended as soon as they and the PDF's log line are written.
    if (DeferEnd([this] { Form_QueryUnload(); }))
        return;
    // Converted PDFs whose images and lines wait to be written together are written before the end.
    if (m_pass)
        m_pass->flushNow();
    m_closing = true;
    GuardedProcedure guard(Location::Form1_Form_QueryUnload, m_context.services.messages);
    guard.step(100, [&] {
        if (m_hotKey)
            m_hotKey->RemoveKeyboardHook();
    });
    guard.step(102, [&] { m_scheduler->Stop(); });
    guard.step(104, [&] { m_tray->setInTray(false); });
    guard.step(106, [] { YieldToEvents(); });
    guard.step(108, [] { YieldToEvents(); });
    QString list;
    guard.step(110, [&] { list.clear(); });
    guard.step(114, [&] { list = FolderListToStored(folderRows()); });
    guard.step(118, [&] { m_context.settings.SaveSetting(SettingKey::Listview1, list); });
    guard.step(120, [&] { m_context.services.programEnd.endNow(); });
}

void Form1::SaveFolderList()
{
    GuardedProcedure guard(Location::Form1_Form_QueryUnload, m_context.services.messages);
    guard.step(118, [&] { m_context.settings.SaveSetting(SettingKey::Listview1, FolderListToStored(folderRows())); });
}

QStringList Form1::folderRows() const
{
    QStringList rows;
    const int count = listView()->topLevelItemCount();
    rows.reserve(count);
    for (int i = 0; i < count; ++i)
        rows.append(listView()->topLevelItem(i)->text(0));
    return rows;
}

void Form1::closeEvent(QCloseEvent* event)
{
    Form_QueryUnload();
    // The end may wait for a PDF's images to be placed; it closes the program then.
    if (CriticalWork::running())
        event->ignore();
    else
        event->accept();
}

void Form1::setMousePointer(MousePointer pointer)
{
    m_pointer = pointer;
    switch (pointer) {
    case MousePointer::Default:
        unsetCursor();
        break;
    case MousePointer::Hourglass:
        setCursor(Qt::WaitCursor);
        break;
    case MousePointer::Custom:
        if (m_customCursor)
            setCursor(*m_customCursor);
        else
            unsetCursor();
        break;
    }
}

void Form1::setUpPointerConvention()
{
    // The pointer belongs to the whole window; moving onto these controls sets it.
    const auto watch = [this](QWidget* widget) {
        widget->setMouseTracking(true);
        widget->installEventFilter(this);
    };
    watch(this);
    for (QPushButton* button : findChildren<QPushButton*>())
        watch(button);
    for (QWidget* widget :
         {static_cast<QWidget*>(m_ui->Frame4), static_cast<QWidget*>(m_ui->Frame6), static_cast<QWidget*>(m_ui->Frame7),
          static_cast<QWidget*>(m_ui->Frame8), static_cast<QWidget*>(m_ui->Frame9),
          static_cast<QWidget*>(m_ui->ListView1), m_ui->ListView1->viewport(), static_cast<QWidget*>(m_ui->Text1),
          static_cast<QWidget*>(m_ui->Text22)})
        watch(widget);
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (handleListEvent(watched, event) || handleIntervalFocus(watched, event))
        return true;
    // The hours and seconds boxes are watched for their focus only: moving over them leaves the pointer.
    const bool leavesPointer = watched == m_ui->Text11 || watched == m_ui->Text33;
    if ((event->type() == QEvent::Enter || event->type() == QEvent::MouseMove) && !isBusy() && !leavesPointer) {
        if (qobject_cast<QPushButton*>(watched))
            setMousePointer(MousePointer::Custom);
        else
            setMousePointer(MousePointer::Default);
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace quarnel
