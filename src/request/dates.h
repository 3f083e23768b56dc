// HTTP dates to and from seconds since 1970-01-01 00:00:00 UTC. Plain
// arithmetic on the Gregorian calendar: no locale, no time zone, no static
// buffer of the C library.
#pragma once
#include <cstdint>
#include <string>

// The first and the last second a four-digit year can name.
const std::int64_t datelow = -62167219200;   // 0000-01-01 00:00:00
const std::int64_t datehigh = 253402300799;  // 9999-12-31 23:59:59

// The time as an IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT"; a time outside
// datelow..datehigh is written as the nearer of the two.
std::string datetext(std::int64_t secs);
// Reads an HTTP date in any of the three forms a recipient must accept:
// IMF-fixdate, the obsolete RFC 850 form "Sunday, 06-Nov-94 08:49:37 GMT"
// and the asctime form "Sun Nov  6 08:49:37 1994". Names are matched in any
// case, since reception lowers header values; the day name is not checked
// against the date. A two-digit year is the latest one not more than 50
// years after now.
// False when the text is none of these or names a day that does not exist.
bool dateread(std::string text, std::int64_t now, std::int64_t* secs);
