#include "ui/options/Form2.h"

#include "conversion/ConversionPass.h"
#include "conversion/Methods.h"
#include "conversion/StoredInputs.h"
#include "core/ErrorReport.h"
#include "core/SettingsStore.h"
#include "samples/SamplePdf.h"
#include "support/Fakes.h"
#include "support/PassFakes.h"
#include "support/TempTree.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSlider>
#include <gtest/gtest.h>

using namespace quarnel;
using namespace quarnel::test;

namespace {

class Form2Fixture : public ::testing::Test
{
protected:
    Form2& restored()
    {
        form = std::make_unique<Form2>(settings, messages, program.path());
        GuardedProcedure guard(Location::Form1_Form_Load, messages);
        form->RestoreConversionOptions(guard);
        return *form;
    }
    template <class T> T* child(const char* name) { return form->findChild<T*>(QString::fromLatin1(name)); }
    bool labelsGrey()
    {
        const QColor black(Qt::black);
        return child<QLabel>("Label3")->palette().color(QPalette::WindowText) != black
            && child<QLabel>("Label1")->palette().color(QPalette::WindowText) != black;
    }

    TempTree program;
    TempTree config;
    FakeMessageBoxes messages;
    SettingsStore settings {config.file(QStringLiteral("Quarnel.conf"))};
    std::unique_ptr<Form2> form;
};

} // namespace

TEST_F(Form2Fixture, FirstRunShowsTheDefaults)
{
    restored();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Quarnel"));
    EXPECT_EQ(form->size(), QSize(536, 322));
    EXPECT_EQ(form->selectedMethod(), Method::Ghostscript);
    EXPECT_FALSE(child<QGroupBox>("Frame2")->isEnabled());
    EXPECT_TRUE(labelsGrey());
    EXPECT_EQ(form->resolutionText(), QStringLiteral("144"));
    EXPECT_EQ(form->pagesText(), QStringLiteral("1"));
    EXPECT_FALSE(form->firstPageOnly());
    EXPECT_EQ(form->quality(), 85);
    EXPECT_EQ(child<QGroupBox>("Frame5")->title(), QStringLiteral("Output Quality: 85%"));
    EXPECT_TRUE(child<QGroupBox>("Frame5")->isEnabled());
    auto* combo = child<QComboBox>("Combo_Resolution");
    ASSERT_EQ(combo->count(), 5);
    EXPECT_EQ(combo->itemText(0), QStringLiteral("72"));
    EXPECT_EQ(combo->itemText(4), QStringLiteral("1152"));
    EXPECT_FALSE(combo->isEditable());
    EXPECT_TRUE(messages.boxes.empty());
    EXPECT_FALSE(settings.Contains(SettingKey::Option)); // nothing changed, nothing written
}

TEST_F(Form2Fixture, MethodsKeepTheInvariants)
{
    restored();
    child<QRadioButton>("Option3")->click();
    EXPECT_EQ(settings.GetSetting(SettingKey::Option), QStringLiteral("2"));
    EXPECT_FALSE(child<QGroupBox>("Frame5")->isEnabled());
    child<QRadioButton>("Option1")->click();
    EXPECT_EQ(settings.GetSetting(SettingKey::Option), QStringLiteral("3"));
    EXPECT_EQ(form->selectedMethod(), Method::Acrobat);
    EXPECT_FALSE(child<QGroupBox>("Frame5")->isEnabled());
    child<QRadioButton>("Option4")->click();
    EXPECT_EQ(settings.GetSetting(SettingKey::Option), QStringLiteral("4"));
    EXPECT_TRUE(child<QGroupBox>("Frame2")->isEnabled());
    EXPECT_FALSE(labelsGrey());
    EXPECT_TRUE(child<QGroupBox>("Frame5")->isEnabled());
    child<QRadioButton>("Option2")->click();
    EXPECT_FALSE(child<QGroupBox>("Frame2")->isEnabled());
    EXPECT_TRUE(labelsGrey());
}

TEST_F(Form2Fixture, FirstPageOnlyExcludesAcrobat)
{
    restored();
    child<QRadioButton>("Option1")->click();
    child<QCheckBox>("Check5")->click();
    EXPECT_EQ(form->selectedMethod(), Method::Ghostscript);
    EXPECT_EQ(settings.GetSetting(SettingKey::Option), QStringLiteral("1"));
    EXPECT_EQ(settings.GetSetting(SettingKey::Check5), QStringLiteral("1"));
    EXPECT_FALSE(child<QRadioButton>("Option1")->isEnabled());
    child<QCheckBox>("Check5")->click();
    EXPECT_TRUE(child<QRadioButton>("Option1")->isEnabled());
    EXPECT_EQ(form->selectedMethod(), Method::Ghostscript);
    EXPECT_EQ(settings.GetSetting(SettingKey::Check5), QStringLiteral("0"));
}

TEST_F(Form2Fixture, StoredAcrobatWithFirstPageOnlyBecomesGhostscript)
{
    settings.SaveSetting(SettingKey::Option, QStringLiteral("3"));
    settings.SaveSetting(SettingKey::Check5, QStringLiteral("1"));
    restored();
    EXPECT_EQ(form->selectedMethod(), Method::Ghostscript);
    EXPECT_FALSE(child<QRadioButton>("Option1")->isEnabled());
    EXPECT_EQ(settings.GetSetting(SettingKey::Option), QStringLiteral("1"));
}

TEST_F(Form2Fixture, UnknownMethodTextChangesNothing)
{
    settings.SaveSetting(SettingKey::Option, QStringLiteral("7"));
    restored();
    EXPECT_EQ(form->selectedMethod(), Method::Ghostscript);
    EXPECT_FALSE(child<QGroupBox>("Frame2")->isEnabled());
    EXPECT_FALSE(labelsGrey());
    EXPECT_EQ(settings.GetSetting(SettingKey::Option), QStringLiteral("7"));
}

TEST_F(Form2Fixture, TextsAndSliderAreStoredAsTheyChange)
{
    settings.SaveSetting(SettingKey::Pages, QString());
    settings.SaveSetting(SettingKey::Resolution, QStringLiteral("576"));
    restored();
    EXPECT_EQ(form->pagesText(), QString());
    EXPECT_EQ(form->resolutionText(), QStringLiteral("576"));
    child<QLineEdit>("Txt_Pages")->setText(QStringLiteral("12x"));
    EXPECT_EQ(settings.GetSetting(SettingKey::Pages), QStringLiteral("12x"));
    child<QSlider>("Slider2")->setValue(100);
    EXPECT_EQ(settings.GetSetting(SettingKey::Slider2), QStringLiteral("100"));
    EXPECT_EQ(child<QGroupBox>("Frame5")->title(), QStringLiteral("Output Quality: 100%"));
    child<QSlider>("Slider2")->setValue(0);
    EXPECT_EQ(child<QGroupBox>("Frame5")->title(), QStringLiteral("Output Quality: 0%"));
    auto* combo = child<QComboBox>("Combo_Resolution");
    combo->setCurrentIndex(4);
    emit combo->activated(4);
    EXPECT_EQ(settings.GetSetting(SettingKey::Resolution), QStringLiteral("1152"));
}

TEST_F(Form2Fixture, UnconvertibleStoredValuesAreReportedAtTheirSteps)
{
    settings.SaveSetting(SettingKey::Check5, QStringLiteral("x"));
    settings.SaveSetting(SettingKey::Slider2, QStringLiteral("99999999999"));
    restored();
    ASSERT_EQ(messages.boxes.size(), 2u);
    EXPECT_TRUE(messages.boxes[0].text.startsWith(
        QStringLiteral("Type mismatch\r\nin Brenvolt2021/08/31.Form1.Form_Load at line 214")));
    EXPECT_TRUE(messages.boxes[1].text.startsWith(
        QStringLiteral("Overflow\r\nin Brenvolt2021/08/31.Form1.Form_Load at line 216")));
    EXPECT_FALSE(form->firstPageOnly());
    EXPECT_EQ(form->quality(), 85);
    EXPECT_EQ(settings.GetSetting(SettingKey::Check5), QStringLiteral("x"));
    EXPECT_EQ(settings.GetSetting(SettingKey::Slider2), QStringLiteral("99999999999"));
}

TEST_F(Form2Fixture, ADamagedPointerFileIsReportedByTheOptionsWindowToo)
{
    program.write(QStringLiteral("HAND-M.CUR"), QByteArray(300, 'x'));
    restored();
    ASSERT_EQ(messages.warnings(), 1);
    EXPECT_TRUE(messages.texts()[0].startsWith(
        QStringLiteral("Invalid picture\r\nin Brenvolt2021/08/31.Form2.Form_Load at line 110")));
}

TEST_F(Form2Fixture, StoredChoicesComeBackAtStartAndEachButtonSelectsItsOwnMethod)
{
    const std::vector<std::pair<QString, Method>> stored {{QStringLiteral("1"), Method::Ghostscript},
                                                          {QStringLiteral("2"), Method::BlackWhite},
                                                          {QStringLiteral("3"), Method::Acrobat},
                                                          {QStringLiteral("4"), Method::GflAx}};
    for (const auto& [value, method] : stored) {
        settings.SaveSetting(SettingKey::Option, value);
        settings.SaveSetting(SettingKey::Slider2, QStringLiteral("40"));
        restored();
        EXPECT_EQ(form->selectedMethod(), method) << qPrintable(value);
        EXPECT_EQ(form->quality(), 40) << "the stored JPEG quality is restored";
    }
    const std::vector<std::pair<const char*, Method>> buttons {{"Option2", Method::Ghostscript},
                                                               {"Option3", Method::BlackWhite},
                                                               {"Option1", Method::Acrobat},
                                                               {"Option4", Method::GflAx}};
    for (const auto& [button, method] : buttons) {
        child<QRadioButton>(button)->click();
        EXPECT_EQ(form->selectedMethod(), method) << button;
    }
    EXPECT_TRUE(messages.boxes.empty());
}

namespace {

// True when every sampled pixel has equal red, green and blue.
bool looksGrey(const QImage& image)
{
    for (int y = 0; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7) {
            const QRgb pixel = image.pixel(x, y);
            if (qRed(pixel) != qGreen(pixel) || qGreen(pixel) != qBlue(pixel))
                return false;
        }
    return true;
}

} // namespace

TEST_F(Form2Fixture, EachButtonConvertsWithItsOwnMethod)
{
    // The real options window chooses among the real methods; each method's images tell it apart.
    restored();
    TempTree temp, in;
    qputenv("TEMP", temp.path().toUtf8());
    FakeServices fakes;
    FakePassInputs inputs;
    inputs.rows = {in.path()};
    MethodSet methods(*form, messages, QStringLiteral(QUARNEL_BIN_DIR));
    ConversionPass pass(inputs, *form, messages, fakes.clock, temp.file(QStringLiteral("DEV2IVI.log")));
    methods.installInto(pass);
    fakes.clock.current = QDateTime::currentDateTime().addSecs(10);
    // A red title on each page: colour methods keep it, black-and-white does not.
    std::vector<samples::SamplePage> pages(2);
    pages[0].title = QStringLiteral("One");
    pages[1].title = QStringLiteral("Two");
    in.write(QStringLiteral("report.pdf"), samples::MakeSamplePdf(pages));
    child<QComboBox>("Combo_Resolution")->setCurrentText(QStringLiteral("72"));
    child<QLineEdit>("Txt_Pages")->setText(QStringLiteral("2"));
    struct Expected
    {
        const char* button;
        QStringList names;
        int width; // of a US Letter page
        bool grey;
    };
    const std::vector<Expected> cases {
        {"Option2", {"report-001.jpg", "report-002.jpg"}, 2550, false},
        {"Option3", {"report-001.jpg", "report-002.jpg"}, 1700, true}, // 200 dpi
        {"Option1", {"report_Page_1.jpg", "report_Page_2.jpg"}, 2550, false},
        {"Option4", {"report1.jpg", "report2.jpg"}, 612, false},
    };
    for (const Expected& expected : cases) {
        TempTree out;
        inputs.output = out.path();
        QFile::remove(temp.file(QStringLiteral("DEV2IVI.log")));
        child<QRadioButton>(expected.button)->click();
        pass.ConvertPDFs(true);
        const QStringList names = QDir(out.path()).entryList(QDir::Files, QDir::Name);
        ASSERT_EQ(names, expected.names) << expected.button;
        for (const QString& name : names) {
            const QImage image(out.file(name));
            EXPECT_EQ(image.width(), expected.width) << expected.button << ' ' << qPrintable(name);
            EXPECT_EQ(looksGrey(image), expected.grey) << expected.button << ' ' << qPrintable(name);
        }
    }
    EXPECT_TRUE(messages.boxes.empty()) << qPrintable(messages.texts().join(u'\n'));
}

TEST_F(Form2Fixture, StoredChoicesReadWithoutTheWindowAreWhatItShows)
{
    for (const char* option : {"1", "2", "3", "4", "7", ""}) {
        for (const char* firstPage : {"0", "1", "x"}) {
            for (const char* quality : {"70", "150", "q"}) {
                settings.SaveSetting(SettingKey::Option, QString::fromLatin1(option));
                settings.SaveSetting(SettingKey::Check5, QString::fromLatin1(firstPage));
                settings.SaveSetting(SettingKey::Slider2, QString::fromLatin1(quality));
                settings.SaveSetting(SettingKey::Resolution, QString::fromLatin1(*firstPage == '1' ? "576" : "100"));
                settings.SaveSetting(SettingKey::Pages, QStringLiteral("2-%1").arg(option));
                // Read before the window restores them (its restore may store a moved choice).
                const StoredInputs stored(settings, messages);
                const Method method = stored.selectedMethod();
                const bool first = stored.firstPageOnly();
                const int storedQuality = stored.quality();
                const QString resolution = stored.resolutionText();
                const QString pages = stored.pagesText();
                restored();
                const std::string what = std::string(option) + "/" + firstPage + "/" + quality;
                EXPECT_EQ(method, form->selectedMethod()) << what;
                EXPECT_EQ(first, form->firstPageOnly()) << what;
                EXPECT_EQ(storedQuality, form->quality()) << what;
                EXPECT_EQ(resolution, form->resolutionText()) << what;
                EXPECT_EQ(pages, form->pagesText()) << what;
            }
        }
    }
}
