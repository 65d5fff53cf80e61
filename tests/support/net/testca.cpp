#include "testca.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "startup.h"

namespace {

void run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("failed: " + command);
}

void makeCa(const std::string& dir, const std::string& name) {
    run("openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj '/CN=" + name + "' -keyout '" + dir + "/" + name +
        ".key' -out '" + dir + "/" + name + ".pem' -addext basicConstraints=critical,CA:TRUE -addext "
        "keyUsage=critical,keyCertSign,cRLSign");
}

void makeLeaf(const std::string& dir, const std::string& name, const std::string& cn, const std::string& san) {
    std::string base = dir + "/" + name;
    run("openssl req -newkey rsa:2048 -nodes -subj '/CN=" + cn + "' -keyout '" + base + ".key' -out '" + base + ".csr'");
    {
        FILE* ext = std::fopen((base + ".ext").c_str(), "w");
        std::fprintf(ext, "subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n", san.c_str());
        std::fclose(ext);
    }
    run("openssl x509 -req -in '" + base + ".csr' -CA '" + dir + "/ca.pem' -CAkey '" + dir +
        "/ca.key' -CAcreateserial -days 3650 -extfile '" + base + ".ext' -out '" + base + ".pem'");
}

TestCerts makeCerts() {
    TestCerts c;
    std::string templ = (std::filesystem::temp_directory_path() / "tarnwell-ca-XXXXXX").string();
    if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    c.dir = templ;
    makeCa(c.dir, "ca");
    makeCa(c.dir, "wrongca");
    makeLeaf(c.dir, "server", "localhost", "DNS:localhost,IP:127.0.0.1");
    makeLeaf(c.dir, "other", "other.example", "DNS:other.example");
    c.caCert = c.dir + "/ca.pem";
    c.wrongCaCert = c.dir + "/wrongca.pem";
    c.serverCert = c.dir + "/server.pem";
    c.serverKey = c.dir + "/server.key";
    c.otherCert = c.dir + "/other.pem";
    c.otherKey = c.dir + "/other.key";
    return c;
}

struct CertsHolder {
    TestCerts certs = makeCerts();
    ~CertsHolder() {
        std::error_code ec;
        std::filesystem::remove_all(certs.dir, ec);
    }
};

} // namespace

const TestCerts& testCerts() {
    static CertsHolder holder;
    return holder.certs;
}

void trustOnly(const std::string& caFile) {
    ::setenv("SSL_CERT_FILE", caFile.c_str(), 1);
    ::setenv("SSL_CERT_DIR", "/nonexistent", 1);
    if (!initTls()) throw std::runtime_error("initTls failed");
}
