#include "conversion/ConversionPass.h"
#include "conversion/Methods.h"
#include "support/Fakes.h"
#include "support/PassFakes.h"
#include "support/TempTree.h"
#include "tools/samples/SamplePdf.h"

#include <QDir>
#include <QImage>
#include <gtest/gtest.h>

using namespace quarnel;
using namespace quarnel::test;

namespace {

QByteArray pdfOf(int pages)
{
    std::vector<samples::SamplePage> list(static_cast<std::size_t>(pages));
    for (int i = 0; i < pages; ++i)
        list[static_cast<std::size_t>(i)].title = QStringLiteral("Page %1").arg(i + 1);
    return samples::MakeSamplePdf(list);
}

// A whole pass over real PDFs with each real method: what a user gets.
class RealPass : public ::testing::TestWithParam<Method>
{
protected:
    void SetUp() override
    {
        qputenv("TEMP", temp.path().toUtf8());
        inputs.output = out.path();
        inputs.rows = {in.path()};
        options.method = GetParam();
        options.pages = QStringLiteral("3");
        options.resolution = QStringLiteral("72");
        methods.installInto(pass);
        fakes.clock.current = QDateTime::currentDateTime().addSecs(5);
    }
    QStringList outputs() const { return QDir(out.path()).entryList(QDir::Files, QDir::Name); }

    TempTree temp, in, out;
    FakeServices fakes;
    FakePassInputs inputs;
    FakeMethodOptions options;
    MethodSet methods {options, fakes.messages, QStringLiteral(QUARNEL_BIN_DIR)};
    ConversionPass pass {inputs, options, fakes.messages, fakes.clock, temp.file(QStringLiteral("DEV2IVI.log"))};
};

} // namespace

TEST_P(RealPass, ConvertsNamesAndSkipsOnTheNextPass)
{
    in.write(QStringLiteral("Q3 report.final.pdf"), pdfOf(1));
    in.write(QStringLiteral("report.pdf"), pdfOf(3));
    in.write(QStringLiteral("broken.pdf"), "%PDF-1.4 this is not a document");
    pass.ConvertPDFs(true);
    QStringList expected;
    switch (GetParam()) {
    case Method::Acrobat:
        expected = {"Q3 report.final.jpg", "report_Page_1.jpg", "report_Page_2.jpg", "report_Page_3.jpg"};
        break;
    case Method::GflAx:
        // Three pages asked of a one-page PDF: one image, named after the PDF.
        expected = {"Q3 report.final.jpg", "report1.jpg", "report2.jpg", "report3.jpg"};
        break;
    default:
        expected = {"Q3 report.final.jpg", "report-001.jpg", "report-002.jpg", "report-003.jpg"};
    }
    EXPECT_EQ(outputs(), expected);
    for (const QString& name : outputs())
        EXPECT_FALSE(QImage(out.file(name)).isNull()) << qPrintable(name);
    const QString log = QString::fromUtf8(TempTree::read(temp.file(QStringLiteral("DEV2IVI.log"))));
    EXPECT_TRUE(log.contains(QStringLiteral(" : Could not create JPG on ") + in.file(QStringLiteral("broken.pdf"))));
    EXPECT_EQ(log.count(QStringLiteral(" : Converted ")), 2);
    // Nothing of the pass is left in the temporary folder but the log, the record of its date format and
    // the batch methods' working folders.
    QStringList left = QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    left.removeAll(QStringLiteral("ps"));
    left.removeAll(QStringLiteral("bw"));
    EXPECT_EQ(left, (QStringList {QStringLiteral("DEV2IVI.log"), QStringLiteral("DEV2IVI.log.dates")}));

    pass.ConvertPDFs(true);
    EXPECT_EQ(outputs().size(), expected.size());
    EXPECT_EQ(QString::fromUtf8(TempTree::read(temp.file(QStringLiteral("DEV2IVI.log"))))
                  .count(QStringLiteral(" : No new files or changes to convert ")),
              2);
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, RealPass,
                         ::testing::Values(Method::Ghostscript, Method::BlackWhite, Method::Acrobat, Method::GflAx),
                         [](const ::testing::TestParamInfo<Method>& info) {
                             switch (info.param) {
                             case Method::Ghostscript:
                                 return std::string("Ghostscript");
                             case Method::BlackWhite:
                                 return std::string("BlackWhite");
                             case Method::Acrobat:
                                 return std::string("Acrobat");
                             default:
                                 return std::string("GflAx");
                             }
                         });
