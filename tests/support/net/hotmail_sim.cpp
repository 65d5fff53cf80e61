#include "hotmail_sim.h"

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "testca.h"

namespace {

constexpr auto kStartBound = std::chrono::seconds(15); // for the PORTS line
constexpr auto kStopBound = std::chrono::seconds(5);   // after SIGTERM, then SIGKILL

// The first line the child writes, without its line feed; "" when none comes in time.
std::string firstLine(int fd) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + kStartBound;
    for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now()) {
        size_t end = text.find('\n');
        if (end != std::string::npos) return text.substr(0, end);
        pollfd p{fd, POLLIN, 0};
        int wait = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
        if (::poll(&p, 1, wait) <= 0) continue;
        char buf[128];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return "";
}

void terminate(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (auto deadline = std::chrono::steady_clock::now() + kStopBound; std::chrono::steady_clock::now() < deadline;) {
        if (::waitpid(pid, nullptr, WNOHANG) != 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

void writeAtomically(const std::string& path, const std::string& content) {
    writeFile(path + ".new", content);
    if (std::rename((path + ".new").c_str(), path.c_str()) != 0) throw std::runtime_error("cannot replace " + path);
}

// The strings of the array stored under "key" in the stand-in's mailbox.json (its ids
// need no escapes).
std::vector<std::string> idArray(const std::string& json, const std::string& key) {
    std::vector<std::string> ids;
    size_t at = json.find("\"" + key + "\"");
    if (at == std::string::npos) return ids;
    size_t open = json.find('[', at), close = json.find(']', at);
    for (size_t q = json.find('"', open); q < close; q = json.find('"', q + 1)) {
        size_t end = json.find('"', q + 1);
        ids.push_back(json.substr(q + 1, end - q - 1));
        q = end;
    }
    return ids;
}

std::string jsonArray(const std::vector<std::string>& ids) {
    std::string out = "[";
    for (size_t i = 0; i < ids.size(); ++i) out += (i ? ", \"" : "\"") + ids[i] + "\"";
    return out + "]";
}

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

bool validId(const std::string& id) {
    if (id.empty()) return false;
    for (char c : id)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
    return true;
}

} // namespace

std::string SimRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (key == name) return value;
    return "";
}

std::string HotmailSim::script() { return std::string(TARNWELL_SOURCE_DIR) + "/sim/hotmail.py"; }

HotmailSim::HotmailSim() : state_(temp_.file("state")) {
    const TestCerts& certs = testCerts();
    int fd = -1;
    pid_ = spawnWithHome({"/usr/bin/python3", script(), "--state", state_, "--cert", certs.serverCert, "--key",
                          certs.serverKey},
                         temp_.path(), fd);
    std::string line = firstLine(fd);
    ::close(fd);
    if (std::sscanf(line.c_str(), "PORTS %d %d %d", &ports_[0], &ports_[1], &ports_[2]) != 3) {
        terminate(pid_);
        throw std::runtime_error("the Hotmail stand-in did not start: " + line);
    }
}

HotmailSim::~HotmailSim() { terminate(pid_); }

void HotmailSim::scenario(const std::string& json) { writeAtomically(state_ + "/scenario.json", json); }

std::string HotmailSim::startUrl() const { return "http://127.0.0.1:" + std::to_string(ports_[0]) + "/"; }
std::string HotmailSim::loginHost() const { return "localhost:" + std::to_string(ports_[1]); }
std::string HotmailSim::mailHost() const { return "127.0.0.1:" + std::to_string(ports_[2]); }

std::vector<std::pair<std::string, std::string>> HotmailSim::agentSettings() const {
    return {{"HotmailStartURL", startUrl()}, {"HotmailLoginHost", loginHost()}};
}

void HotmailSim::addMessage(const std::string& id, const std::string& source) {
    if (!validId(id)) throw std::invalid_argument("message id not usable in a URL: " + id);
    writeFile(state_ + "/messages/" + id, source);
    std::vector<std::string> in = inbox();
    in.push_back(id);
    writeMailbox(in, trash(), read());
}

std::vector<std::string> HotmailSim::fill(const std::vector<std::string>& messages) {
    std::vector<std::string> ids;
    size_t stored = inbox().size() + trash().size();
    for (const std::string& text : messages) {
        ids.push_back("M" + std::to_string(stored + ids.size() + 1));
        addMessage(ids.back(), text);
    }
    return ids;
}

std::string HotmailSim::source(const std::string& id) const { return readFile(state_ + "/messages/" + id); }

std::vector<std::string> HotmailSim::folder(const std::string& name) const {
    std::string path = state_ + "/mailbox.json";
    return fileExists(path) ? idArray(readFile(path), name) : std::vector<std::string>{};
}

std::vector<std::string> HotmailSim::inbox() const { return folder("inbox"); }
std::vector<std::string> HotmailSim::trash() const { return folder("trash"); }
std::vector<std::string> HotmailSim::read() const { return folder("read"); }

void HotmailSim::writeMailbox(const std::vector<std::string>& in, const std::vector<std::string>& out,
                              const std::vector<std::string>& seen) {
    writeAtomically(state_ + "/mailbox.json", "{\"inbox\": " + jsonArray(in) + ", \"trash\": " + jsonArray(out) +
                                                  ", \"read\": " + jsonArray(seen) + "}\n");
}

std::vector<SimRequest> HotmailSim::requests() const {
    std::vector<SimRequest> all;
    std::string path = state_ + "/requests.tsv";
    if (!fileExists(path)) return all;
    for (const std::string& line : splitLines(readFile(path))) {
        std::vector<std::string> f = split(line, '\t');
        if (f.size() != 7) throw std::runtime_error("request log line not understood: " + line);
        SimRequest r{percentDecoded(f[0]), percentDecoded(f[1]), percentDecoded(f[2]), {},
                     percentDecoded(f[5]), f[3].empty() ? 0 : std::stoi(f[3]), percentDecoded(f[4])};
        for (const std::string& h : split(percentDecoded(f[6]), '\n')) {
            size_t colon = h.find(": ");
            r.headers.emplace_back(h.substr(0, colon), colon == std::string::npos ? "" : h.substr(colon + 2));
        }
        all.push_back(std::move(r));
    }
    return all;
}

void HotmailSim::clearRequests() {
    writeFile(state_ + "/requests.tsv", "");
    writeFile(state_ + "/requests.jsonl", "");
}
