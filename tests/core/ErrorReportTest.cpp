#include "core/ErrorReport.h"

#include "support/Fakes.h"

#include <gtest/gtest.h>
#include <stdexcept>

using namespace quarnel;
using quarnel::test::FakeMessageBoxes;

TEST(ErrorReport, TextHasExactForm)
{
    const QString text
        = ErrorReportText(RuntimeError(ErrorNumber::TypeMismatch), QString::fromLatin1(Location::Form1_Form_Load), 216);
    EXPECT_EQ(text,
              QStringLiteral("Type mismatch\r\nin Brenvolt2021/08/31.Form1.Form_Load at line 216\r\r"
                             "Please email screenshot of this message to support@vantorell.example"));
}

TEST(ErrorReport, WalkLocationHasItsOwnPrefix)
{
    const QString text = ErrorReportText(RuntimeError(ErrorNumber::PathNotFound),
                                         QString::fromLatin1(Location::GetSubDirectories2016), 104);
    EXPECT_TRUE(text.startsWith(
        QStringLiteral("Path not found\r\nin TavrinTitle2021/08/31.AddFolder.GetSubDirectories2016 at line 104\r\r")));
}

TEST(ErrorReport, RuntimeDescriptionsAndNumbers)
{
    EXPECT_EQ(RuntimeError(ErrorNumber::Overflow).number(), 6);
    EXPECT_EQ(RuntimeError(ErrorNumber::Overflow).description(), QStringLiteral("Overflow"));
    EXPECT_EQ(RuntimeError(ErrorNumber::FileNotFound).description(), QStringLiteral("File not found"));
    EXPECT_EQ(RuntimeError(ErrorNumber::PathNotFound).number(), 76);
    EXPECT_EQ(RuntimeError(ErrorNumber::PermissionDenied).description(), QStringLiteral("Permission denied"));
    EXPECT_EQ(RuntimeError(ErrorNumber::PathFileAccessError).description(), QStringLiteral("Path/File access error"));
    EXPECT_EQ(RuntimeError(ErrorNumber::InvalidProcedureCall).description(),
              QStringLiteral("Invalid procedure call or argument"));
    EXPECT_EQ(RuntimeError::fromErrno(EACCES).number(), 70);
    EXPECT_EQ(RuntimeError::fromErrno(ENOENT).number(), 53);
}

TEST(GuardedProcedure, FailingStepIsReportedAndNextStepRuns)
{
    FakeMessageBoxes boxes;
    GuardedProcedure guard(Location::ConvertPDFs, boxes);
    int first = 0;
    int target = 5;
    int third = 0;
    EXPECT_TRUE(guard.step(100, [&] { first = 1; }));
    EXPECT_FALSE(guard.step(102, [&] { target = []() -> int { throw RuntimeError(ErrorNumber::Overflow); }(); }));
    guard.step(104, [&] { third = 1; });
    EXPECT_EQ(first, 1); // the first step's effect stays
    EXPECT_EQ(target, 5); // the failed assignment leaves its target unchanged
    EXPECT_EQ(third, 1);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Application Error"));
    EXPECT_EQ(boxes.boxes[0].kind, FakeMessageBoxes::Box::Warn);
    EXPECT_TRUE(boxes.boxes[0].text.contains(QStringLiteral("ConvertPDFs at line 102\r\r")));
}

TEST(GuardedProcedure, FailingBranchTestRunsTheBranch)
{
    FakeMessageBoxes boxes;
    GuardedProcedure guard(Location::Form1_Form_Load, boxes);
    bool branchRan = false;
    if (guard.test(138, []() -> bool { throw RuntimeError(ErrorNumber::TypeMismatch); }))
        branchRan = true;
    EXPECT_TRUE(branchRan);
    EXPECT_FALSE(guard.test(140, [] { return false; }));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_TRUE(boxes.boxes[0].text.startsWith(QStringLiteral("Type mismatch\r\n")));
    EXPECT_TRUE(boxes.boxes[0].text.contains(QStringLiteral("at line 138")));
}

TEST(GuardedProcedure, EachFailureShowsOneBoxAndForeignExceptionsAreReported)
{
    FakeMessageBoxes boxes;
    GuardedProcedure guard(Location::Form1_PushButton2_Click, boxes);
    guard.step(100, [] { throw std::runtime_error("boom"); });
    guard.step(102, [] { throw std::bad_alloc(); });
    guard.step(104, [] {});
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_TRUE(boxes.boxes[0].text.contains(QStringLiteral("boom")));
    EXPECT_TRUE(boxes.boxes[1].text.startsWith(QStringLiteral("Out of memory")));
}
