// --web HTTP/2: a connection's session, chosen by ALPN over TLS or by the
// preface on the plain port. Each stream is a --web request, answered as
// HTTP/1.1 answers it: the answer's header goes out as HEADERS, its body as
// DATA pulled from the answer's road as the windows open. The library owns
// framing, HPACK, windows, SETTINGS and PING; this file owns what a request
// means and how long anyone may take.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The bytes an HTTP/2 client begins with (RFC 9113, 3.4).
const char duopreface[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
const std::size_t duoprefsize = sizeof duopreface - 1;
// The most streams a client may have open at once.
const std::uint32_t duostreams = 128;

// This program speaks HTTP/2.
bool duoable();
// Makes entry i speak HTTP/2, with the server's SETTINGS queued. False when
// its session cannot be made.
bool duomake(std::uint64_t i);
// Feeds bytes received on entry i to its session: each stream whose header
// block is whole is answered, and its log line written. A connection the
// client broke ends.
void duoread(std::uint64_t i, const char* data, std::size_t n);
// Sends what the session has for entry i while spent, the bytes it sent this
// turn, is under the budget; ends the connection once nothing is left to say.
void duosend(std::uint64_t i, std::int64_t* spent);
// Gives back the frame buffers of sessions idle for a while, as of now:
// the milliseconds until the next is due, or -1 when none is.
long duoquiet(std::uint64_t now);
// A stop: GOAWAY naming the last stream taken; the streams begun finish.
void duostop(std::uint64_t i);
// The bytes the session of entry i has to send now, as duosend would send
// them, taken off it without a socket: the wire as a string.
std::string duoframes(std::uint64_t i);
