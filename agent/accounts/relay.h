// The message relay: passes a message's text to SMTP chunk by chunk, either unchanged
// or, with "SMTPVfy" on, line by line with header address repair and long-line breaks.
#pragma once

#include <functional>

#include "tstr.h"
#include "webmail.h"

// Start of a message: resets the relay state of the session.
void InitMsg(webMail& session);
// Passes text on; flush = 1 sends what the checking relay still holds. Negative when
// the SMTP client failed (its texts are set).
int SendMsgText(webMail& session, std::string_view text, int flush);
// Breaks a line longer than 1000 characters (CR LF included) into segments of at most
// 998 characters, preferring a break before a blank so folded headers stay valid. A
// segment starting with "." counts the dot the SMTP client adds before it.
void vfyLineLen(Str& line);
// True when the address list of a From/To/Cc/Reply-To line would pass a strict server.
bool vfyAddressList(std::string_view headerLine);
// Status line "<text>  (<bytes/1024>K sent)" for the current account.
void UpdateStatus(std::string_view text, long bytes);
// "<address or login>:<password>" of the current account; kind 1 uses the address.
Str GetPassWord(int kind);

// Reads the next chunk of the message into text; returns its length, 0 at the end, or a
// negative value after a failure that the caller reports with its own client's texts.
using ChunkSource = std::function<long(std::string_view& text)>;

// Results of ForwardMsg besides 0 (accepted) and -1 (SMTP failure, reported by the
// error rule).
constexpr int kSourceFailed = -2; // the chunk source failed; the caller reports it
constexpr int kMsgRefused = -3;   // the SMTP server refused this message for good (not reported)

// The forwarding sequence every module follows for one message: open the SMTP message,
// relay every chunk with progress lines, close it.
int ForwardMsg(webMail& session, std::string_view statusText, const ChunkSource& nextChunk);

// smtp_connect with the SMTP settings; a failure goes through the error rule (-1).
int OpenSMTP(SmtpClient& smtp);
