// The kinds of request text and the byte and text helpers they are built on.
// line: one received line with its "\r\n". link: a header line, name ':' value.
// part: the request line, method target version. quiz: a host, maybe ":port".
#pragma once
#include <cstddef>
#include <string>

// False for LF, CR and 32..126; true for every other byte.
bool charbad(char c);
// 'A'..'Z' lower-cased, every other byte as it is.
char charlow(char c);

// s begins with p (compared over the shorter length; s shorter than p fails).
bool cstrbegs(std::string s, std::string p);
bool cstrends(std::string s, std::string p);
bool cstrnone(std::string s);
std::size_t cstrsize(std::string s);

bool linesane(std::string u);
bool linksane(std::string u);
bool partsane(std::string part);
bool quizsane(std::string u);

// The header name, without the blanks before its ':'.
std::string linkname(std::string u);
// The header value, without its leading blanks and the "\r\n".
std::string linkvalu(std::string u);
bool linkhost(std::string u);
// The quiz less a ':' and the decimal digits behind it.
std::string quizhost(std::string u);
