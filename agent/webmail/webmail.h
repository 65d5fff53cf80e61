// The session record every account is processed through, and the form scanner the
// web modules share.
#pragma once

#include "mime_segments.h"
#include "source_filter.h"
#include "tstr.h"

struct HttpClient;
struct ImapClient;
struct PopClient;
struct SmtpClient;
struct webMail;
struct LiveRequests;

// An account module's entry point; results as the run driver expects them.
using AccountEntry = int (*)(webMail& session);

struct webMail {
    AccountEntry OpenAccount = nullptr;
    AccountEntry ProcessMsg = nullptr;
    AccountEntry CloseAccount = nullptr;

    int newCount = 0;
    Str msgList; // one line per new message, each ended by CR LF

    // Relay state of the current message.
    long msgBytes = 0;
    Str relayBuf;   // checking relay: text received and not yet sent
    int hdrDone = 0;
    Str pendingHdr; // last header line, held until the next shows whether it continues
    int fwdCount = 0;

    // Hotmail module.
    int mailboxKind = 0; // 0 the CGI mailbox; 1 or more a Windows Live one
    Str curmbox;         // inbox folder value of the inbox link
    Str sessionKey;      // the inbox link's "a" value, sent with every mailbox request
    Str trashFolder;
    Str refererUrl;      // sent as Referer with every mailbox request after login
    // Windows Live mailbox: its session values and the request set of its build.
    Str authUser;
    Str buildVersion;
    Str serviceClass;
    const LiveRequests* liveSet = nullptr;
    // Yahoo module.
    Str wssid;     // the web service's session identifier
    Str logoutUrl; // set once the mail application was reached
    Str messageId;              // the message being rebuilt
    yahoo::MimeSegments segments; // its steps after the header block
    size_t segment = 0;         // the step being sent
    int segmentPhase = 0;       // 0 its text, 1 its download to start, 2 the download running
    yahoo::Base64Lines base64;
    Str mailHost;               // the web service's host, kept while a download is redirected
    int mailPort = 0;
    int mailTLS = 0;

    CgiSource cgiSource;   // text recovery of the message being fetched
    LiveSource liveSource;
    Str sourceText;      // the recovered text of the current piece

    // Form scanner.
    long formPos = 0;
    long formLen = 0;
    Str formAction;
    StrArray formNames;
    StrArray formValues;

    // The run's protocol clients; not owned.
    HttpClient* httpSocket = nullptr;
    ImapClient* imapSocket = nullptr;
    PopClient* popSocket = nullptr;
    SmtpClient* smtpSocket = nullptr;
};

Owned<webMail> webMail_construct();

void webFormInit(webMail& session);
// Scans the first form at or after formPos: its text, action URL and input fields.
// formPos becomes 0 when there is none.
void webFormParse(webMail& session, std::string_view page);
// "name=value&..." with the values percent-encoded; "" without fields.
Str webFormParmStr(const webMail& session);
// The text around the 1-based position, bounded on the left by the nearest character
// of leftSet and on the right by the first of rightSet; "" when either is missing.
Str webFormParseUrl(long position, std::string_view text, std::string_view leftSet, std::string_view rightSet);

// The error rule applied to the HTTP client's texts; returns -1.
int HttpError(webMail& session);
// Writes the last failed page, with the request that fetched it and the settings that
// produced it, to the error log. Passwords are masked: the file is meant to be sent in.
void LogWebmailError(webMail& session);
