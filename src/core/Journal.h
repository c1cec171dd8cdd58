#pragma once

#include <QString>

namespace quarnel {

// The systemd journal, where systemd runs the program and its standard error goes there.

// True when standard error is the journal's stream (systemd said so in JOURNAL_STREAM).
bool StderrIsJournal();

// Priorities as syslog numbers them.
enum class JournalPriority { Error = 3, Warning = 4, Notice = 5, Info = 6 };

// One entry with its priority, and the PDF it is about as the field QUARNEL_PDF; false when the
// journal did not take it.
bool SendToJournal(JournalPriority priority, const QString& message, const QString& pdfPath = QString());

} // namespace quarnel
