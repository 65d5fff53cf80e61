// Stands in for the network in the reply-stream targets, so a fuzz input can play the
// server without a listener and without any traffic leaving the process.
//
// Linked with --wrap for getaddrinfo, connect, read and send: every name resolves to
// 127.0.0.1 without a lookup, every connect is given one end of a socketpair, and the
// input is fed to the client in turns, cut at NUL bytes. A turn is written only when
// the client finds nothing to read, so a turn also lands after the client's command
// (which drops what it had received and not used) and a turn without a line end makes
// the client read again. After the last turn the peer shuts its side, so the client
// sees the end of the stream at once and never waits. What the client sends is kept
// in sent() for the targets' checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace netshim {

// The server's part for the next connections; turns are cut at every NUL byte.
void play(const uint8_t* data, size_t size);
// Closes the peer of the current connection.
void finish();
// Everything the client sent since play().
const std::string& sent();
// Number of connections made since play().
int connections();

} // namespace netshim
