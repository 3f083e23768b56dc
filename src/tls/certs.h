// The certificates of HTTPS in --web mode: a pair of files per site, as
// certbot keeps them (DIR/NAME/fullchain.pem and DIR/NAME/privkey.pem), one
// TLS context per pair, picked by the server name of each new connection.
#pragma once
#include <cstdint>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

// Loads every usable pair under dir. A pair that cannot be used (unreadable,
// unparsable, key not matching the certificate) is skipped with one line on
// stderr naming the file and the reason. False when no pair at all is usable
// (the caller then prints a clear message and exits 255).
bool certsload(const std::string& dir);

// ALPN offers h2 before http/1.1: the program speaks HTTP/2.
void certsalpn(bool h2);

// The context every new TLS connection starts with: its server name moves
// the connection to the pair certspick names. Null when certsload never ran.
SSL_CTX* certsbase();

// The pair a server name is served with: the name lower-cased, then shortened
// label by label from the left, as the sites are found; no name or no match
// gives "a", and without an "a" pair the first usable pair by name. Empty
// when no pair is usable.
std::string certspick(std::string name);

// Called once a turn of the loop with the monotonic clock in ms: at most once
// a second, looks at the pairs' files and loads a changed, added or removed
// pair; a broken new pair leaves the old one in service, with one line on
// stderr. Connections already open keep the context they have. Also makes a
// new ticket key once a day.
void certscheck(std::uint64_t now);

// SIGHUP: the next certscheck looks at once, whatever the time. Safe to call
// from a signal handler.
void certsnudge();
