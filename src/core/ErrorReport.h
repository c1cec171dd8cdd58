#pragma once

#include "core/RuntimeError.h"

#include <QString>
#include <functional>

namespace quarnel {

class MessageBoxes;

// The address the error report asks users to write to.
inline constexpr auto kSupportEmail = "support@vantorell.example";

// Location texts of the procedures that report their own errors.
namespace Location {
inline constexpr auto AppendStringFSO = "in Brenvolt2021/08/31.Main.AppendStringFSO ";
inline constexpr auto PreviousConverted = "in Brenvolt2021/08/31.PDF.PreviousConverted ";
inline constexpr auto NewFileName = "in Brenvolt2021/08/31.Main.NewFileName ";
inline constexpr auto ConvertPDFs = "in Brenvolt2021/08/31.Form1.ConvertPDFs ";
inline constexpr auto PDF_To_BMP_GS = "in Brenvolt2021/08/31.PDF.PDF_To_BMP_GS ";
inline constexpr auto PDF_To_BMP_BW = "in Brenvolt2021/08/31.PDF.PDF_To_BMP_BW ";
inline constexpr auto PDF_To_BMP_Acro = "in Brenvolt2021/08/31.PDF.PDF_To_BMP_Acro ";
inline constexpr auto PDF_To_BMP_GFAX = "in Brenvolt2021/08/31.PDF.PDF_To_BMP_GFAX ";
inline constexpr auto Form1_Form_Load = "in Brenvolt2021/08/31.Form1.Form_Load ";
inline constexpr auto Form1_Form_QueryUnload = "in Brenvolt2021/08/31.Form1.Form_QueryUnload ";
inline constexpr auto Form1_PushButton7_Click = "in Brenvolt2021/08/31.Form1.PushButton7_Click ";
inline constexpr auto Form1_PushButton2_Click = "in Brenvolt2021/08/31.Form1.PushButton2_Click ";
inline constexpr auto Form1_PushButton3_Click = "in Brenvolt2021/08/31.Form1.PushButton3_Click ";
inline constexpr auto Form1_PushButton9_Click = "in Brenvolt2021/08/31.Form1.PushButton9_Click ";
inline constexpr auto Form1_PushButton10_Click = "in Brenvolt2021/08/31.Form1.PushButton10_Click ";
inline constexpr auto Form1_PushButton11_Click = "in Brenvolt2021/08/31.Form1.PushButton11_Click ";
inline constexpr auto Form1_PushButton12_Click = "in Brenvolt2021/08/31.Form1.PushButton12_Click ";
inline constexpr auto Form1_PushButton1_Click = "in Brenvolt2021/08/31.Form1.PushButton1_Click ";
inline constexpr auto Form1_PushButton5_Click = "in Brenvolt2021/08/31.Form1.PushButton5_Click ";
inline constexpr auto Form1_PushButton6_Click = "in Brenvolt2021/08/31.Form1.PushButton6_Click ";
inline constexpr auto GetSubDirectories2016 = "in TavrinTitle2021/08/31.AddFolder.GetSubDirectories2016 ";
inline constexpr auto Form1_PushButton4_Click = "in Brenvolt2021/08/31.Form1.PushButton4_Click ";
inline constexpr auto Form1_PushButton8_Click = "in Brenvolt2021/08/31.Form1.PushButton8_Click ";
inline constexpr auto Form1_Timer1_Timer = "in Brenvolt2021/08/31.Form1.Timer1_Timer ";
inline constexpr auto Form2_Form_Load = "in Brenvolt2021/08/31.Form2.Form_Load ";
inline constexpr auto Form2_Form_QueryUnload = "in Brenvolt2021/08/31.Form2.Form_QueryUnload ";
inline constexpr auto Form2_PushButton5_Click = "in Brenvolt2021/08/31.Form2.PushButton5_Click ";
} // namespace Location

// The text of the "Application Error" box for an error met at a numbered step.
QString ErrorReportText(const RuntimeError& error, const QString& location, int line);

// Turns whatever a step threw into the run-time error it stands for.
RuntimeError CurrentRuntimeError(std::exception_ptr thrown);

// A procedure that numbers its steps and reports a failing step, then goes on with the next one.
// A failing branch or loop test counts as passed, so the branch runs.
class GuardedProcedure final
{
public:
    GuardedProcedure(const char* location, MessageBoxes& messages);

    // Runs one step; on a run-time error shows the report and returns false.
    bool step(int number, const std::function<void()>& body);
    // Evaluates a branch test; on a run-time error shows the report and returns true.
    bool test(int number, const std::function<bool()>& condition);
    // Shows the report for an error met at this step outside step() and test().
    void report(int number, const RuntimeError& error);

private:
    QString m_location;
    MessageBoxes& m_messages;
};

} // namespace quarnel
