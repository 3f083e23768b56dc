// The process-wide values fixed at start-up.
#pragma once
#include <cstdint>
#include <string>

// The served directory: the working directory at start, less a trailing "/".
std::string& root();
// The listening port, as the low 16 bits of the command line's number.
std::uint16_t& port();
// The --web mode: answers as today's browsers and download tools expect.
bool& web();
// The line terminator of the protocol.
extern const std::string crlf;
// --web --certs: the folder of certificate pairs; empty without HTTPS.
std::string& certdir();
// The HTTPS port, 443 unless --https names another.
std::uint16_t& tlsport();
// --plain: the plain port serves as it does without certificates, rather
// than sending every request but the ACME challenges to HTTPS.
bool& plainok();
// --log: the line each request writes to standard output.
enum logstyle {
    logcolumns,  // host and path in 64 columns, then the address
    logcombo,    // NCSA combined, as nginx writes it
    logvhost,    // the same behind the site and port, as Apache's vhost_combined
};
logstyle& logkind();
// --proxy-protocol: every connection begins with a PROXY header, whose
// address is the client's.
bool& proxyon();
