// Helpers for the tests of the clients that hand out a message in pieces (POP3, IMAP).
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "tstr.h"

// "host:port", as the clients take a server.
inline std::string at(int port, const char* host = "127.0.0.1") { return std::string(host) + ":" + std::to_string(port); }

struct Fetched {
    std::vector<long> sizes; // every result up to and including the first 0 or -1
    std::string text;
};

// Reads pieces with getText until it returns 0 or -1; each piece must be in client.text.
template <class Client>
Fetched fetchAll(Client& client, long (*getText)(Client&)) {
    Fetched f;
    for (int i = 0; i < 100000; ++i) {
        long n = getText(client);
        f.sizes.push_back(n);
        if (n <= 0) break;
        EXPECT_EQ(client.text.size(), static_cast<size_t>(n));
        f.text.append(client.text.data(), client.text.size());
    }
    return f;
}

// A client with short waits, for servers that answer at once.
template <class Client>
Owned<Client> shortWaits(Owned<Client> client) {
    client->socket.limits = {2, 2, 1, 3};
    return client;
}
