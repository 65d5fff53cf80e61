#include "sim_client.h"

#include <stdexcept>
#include <utility>

#include "httpauth.h"

SimTweak::Change replaceFirst(std::string from, std::string to, std::string where) {
    return [=](std::string& url, std::string& body, std::string& headers) {
        std::string& text = where == "url" ? url : where == "body" ? body : headers;
        size_t at = text.find(from);
        if (at == std::string::npos) throw std::invalid_argument(from + " is not in " + text);
        text.replace(at, from.size(), to);
        if (size_t self = headers.find(from); where == "url" && self != std::string::npos) headers.replace(self, from.size(), to);
    };
}

SimClient::SimClient(const char* serverName, const std::string& credentials, SimTweak tweak) : tweak_(std::move(tweak)) {
    http_->serverName = ToStr(serverName);
    http_authInit(*http_, credentials);
}

SimPage& SimClient::send(const std::string& step, const char* method, std::string url, std::string body,
                         const std::string& referer, const char* contentType) {
    std::string headers = (referer.empty() ? "" : "Referer: " + referer + "\r\n") + "Accept: */*\r\nConnection: Keep-Alive\r\n";
    SimPage& p = pages[step];
    if (tweak_.step == step) {
        if (!tweak_.change) {
            p.rc = 0;
            return p;
        }
        tweak_.change(url, body, headers);
    }
    http_->method = ToStr(method);
    http_->extraHeaders = ToStr(headers);
    p.rc = http_getHdr(*http_, url, body, body.empty() ? "" : contentType);
    if (p.rc == 0 && http_getData(*http_, 0) < 0) p.rc = -1;
    p.text = p.rc == 0 ? std::string(View(http_->body)) : std::string(View(http_->errorText)) + " " + std::string(View(http_->errorDetail));
    p.url = std::string(View(http_->url));
    previous = url;
    return p;
}
