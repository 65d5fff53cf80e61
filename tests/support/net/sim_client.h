// Requests to a web-mail stand-in sent as the agent sends them, through the agent's own
// HTTP client, with one answer kept per step; a test may change one step's request
// before it goes out to see the stand-in refuse it.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "http.h"

struct SimPage {
    int rc = -1;      // 0: a 2xx answer whose body was read whole
    std::string url;  // the final URL after redirects
    std::string text; // the body, or the headline and explanation of a failure
};

// A change to one step's request before it is sent: the URL, the body and the extra
// header lines (Referer, Accept, Connection). No change function: the step is left out.
struct SimTweak {
    using Change = std::function<void(std::string& url, std::string& body, std::string& headers)>;
    std::string step;
    Change change;
};

// A change that replaces the first "from" by "to" in the "url", the "body" or the
// "headers"; a URL change is made in the Referer too when the request names itself
// there. Throws when "from" is not there.
SimTweak::Change replaceFirst(std::string from, std::string to, std::string where = "url");

class SimClient {
public:
    // A client for the account type serverName that answers challenges with credentials.
    SimClient(const char* serverName, const std::string& credentials, SimTweak tweak = {});

    // Sends one request with the extra header lines "Referer" (when given), "Accept" and
    // "Connection", reads the whole answer into pages[step] and returns it; a step the
    // tweak leaves out counts as answered without being sent.
    SimPage& send(const std::string& step, const char* method, std::string url, std::string body,
                  const std::string& referer, const char* contentType = "");

    HttpClient& http() { return *http_; }

    std::map<std::string, SimPage> pages; // by step
    std::string previous;                 // the last URL asked for

private:
    SimTweak tweak_;
    Owned<HttpClient> http_ = http_construct();
};

// What a walk through a stand-in keeps as it goes: the client, the account it signs in
// with (password "secret"), one answer per step, the identifiers listed and the step it
// stopped at ("" when it ran through).
struct SimWalk {
    SimWalk(const char* serverName, const std::string& account, SimTweak tweak)
        : client(serverName, account + ":secret", std::move(tweak)), address(account) {}

    SimClient client;
    std::string address;
    std::string password = "secret";
    std::map<std::string, SimPage>& pages = client.pages;
    std::vector<std::string> ids;
    std::string stopped;
    const std::string& previous = client.previous; // the last URL asked for: the next Referer
};
