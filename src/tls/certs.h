// The certificate pairs of --web --certs: one per site name, picked by the
// name the client sends, renewed in place without a restart.
#pragma once
#include <cstdint>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

// Loads every usable pair under dir. A pair that cannot be used is skipped
// with one line on stderr naming the file and the reason. False when no pair
// at all is usable.
bool certsload(const std::string& dir);
// The context every new TLS connection starts with: its server name callback
// switches the connection to the pair its name picks.
SSL_CTX* certsbase();
// Once a turn, with the clock in ms: at most once a second, a changed, added
// or removed pair is loaded or dropped.
void certscheck(std::uint64_t now);
// SIGHUP: the next certscheck looks at once.
void certsnudge();
