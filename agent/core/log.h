// The agent's channels to the outside: status lines on standard output, the log
// (standard error reopened onto "~/Library/Logs/Tarnwell.log"), the error log, the
// stop/status polling point and the alert rule that turns failures into retry or skip.
#pragma once

#include "tstr.h"

// Formats (at most 8190 characters) and writes the text and a line feed to the log.
void stdLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes text as a dated block, every line indented by three blanks. Never a format.
void logMsg(std::string_view text);
// Local time as the fixed 24-character "Sun Sep 16 01:03:52 1973".
Str getDateTimeStr();
// Replaces the error log's content with the formatted text and a line feed. Like every
// log, the file is kept at mode 0600 and never written through a symbolic link.
void errorLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void errorLogSetPath(std::string_view path);
// Keeps only the last limit bytes of the file when it is at least that long; a symbolic
// link is left alone.
void resizeLog(std::string_view path, long limit);

// "updateStatus" TAB account TAB message; remembers both and answers a status request.
void updateStatus(std::string_view account, std::string_view message);
// "updateSummary" TAB text on standard output, and the text in the log.
void updateSummary(std::string_view text);
// Polling point for signals: repeats the status line on request, reports a stop.
int CkStopReq();
// Records a failure; returns 3 when the account is to be retried, else 1.
int ShowAlert(std::string_view kind, std::string_view message, std::string_view explanation);
