// Test fixtures that share real servers across a whole suite (starting them per test
// would dominate the run time).
#pragma once

#include <gtest/gtest.h>
#include <iostream>
#include <memory>

#include "aiosmtpd.h"
#include "dovecot.h"
#include "testca.h"

// One Dovecot for the suite, emptied before each test; its log is shown on failure.
class DovecotSuite : public testing::Test {
protected:
    static void TearDownTestSuite() { server_.reset(); }
    void SetUp() override {
        if (!server_) server_ = std::make_unique<Dovecot>();
        server_->clearMailbox();
        trustOnly(testCerts().caCert);
    }
    void TearDown() override {
        if (HasFailure()) std::cerr << "Dovecot log:\n" << server_->log();
    }
    Dovecot& dovecot() { return *server_; }

    static inline std::unique_ptr<Dovecot> server_;
};

// One Dovecot and one SMTP sink for the suite.
class MailServersSuite : public testing::Test {
protected:
    static void SetUpTestSuite() {
        box_ = std::make_unique<Dovecot>();
        sink_ = std::make_unique<SmtpSink>();
    }
    static void TearDownTestSuite() {
        box_.reset();
        sink_.reset();
    }

    static inline std::unique_ptr<Dovecot> box_;
    static inline std::unique_ptr<SmtpSink> sink_;
};
