// Certificates for TLS tests, made once per test program with the openssl command in a
// temporary folder: a test CA, a server certificate for localhost/127.0.0.1 signed by
// it, one for another host name signed by it, and a second, unrelated CA.
#pragma once

#include <string>

struct TestCerts {
    std::string dir;
    std::string caCert;       // the test CA
    std::string serverCert;   // CN/SAN localhost and 127.0.0.1, signed by the test CA
    std::string serverKey;
    std::string otherCert;    // SAN other.example only, signed by the test CA
    std::string otherKey;
    std::string wrongCaCert;  // a CA that signed nothing we serve
};

const TestCerts& testCerts();

// Makes the agent's TLS context trust only caFile (through SSL_CERT_FILE, as a user
// would), replacing any earlier context.
void trustOnly(const std::string& caFile);
