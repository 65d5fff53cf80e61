// The SMTP tests' client: short waits, and whatever is left open is closed.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "scripted_server.h"
#include "smtp.h"

struct SmtpTestClient {
    SmtpTestClient() { smtp->socket.limits = {5, 5, 1, 1}; }
    ~SmtpTestClient() { bSocket_closeSocket(smtp->socket); }
    SmtpTestClient(const SmtpTestClient&) = delete;
    SmtpTestClient& operator=(const SmtpTestClient&) = delete;
    SmtpClient& operator*() { return *smtp; }
    std::string errorText() const { return std::string(View(smtp->socket.errorText)); }
    std::string errorDetail() const { return std::string(View(smtp->socket.errorDetail)); }
    Owned<SmtpClient> smtp = smtp_construct();
};

inline std::string local(const ScriptedServer& server) { return "127.0.0.1:" + std::to_string(server.port()); }

// Byte-level cases against scripted servers, fed whole and one byte at a time (the
// suite is instantiated once, in smtp_test.cpp).
class SmtpScripted : public ::testing::TestWithParam<bool> {
protected:
    ScriptedServerOptions options() const { return ScriptedServerOptions::OneByte(GetParam()); }
};
