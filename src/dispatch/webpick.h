// The choices of the --web mode that need no file system: whether the
// client's copy is current, and which names are hidden.
#pragma once
#include <cstdint>
#include <string>

#include "request/asks.h"

// A GET or HEAD for a file with this tag and modification time gets 304: its
// If-None-Match matches the tag; or, with no If-None-Match at all, its
// If-Modified-Since is a date at or after the modification time (to the
// second). An unreadable date asks nothing. now reads two-digit years.
bool asksfresh(const asks& a, std::string tag, std::int64_t mtime, std::int64_t now);
// A request for a file with this tag and modification time may be answered:
// its If-Match names the tag by the strong comparison (or is "*"); or, with
// no If-Match at all, the file has not changed since its If-Unmodified-Since.
// Else it gets 412. An unreadable date asks nothing.
bool asksheld(const asks& a, std::string tag, std::int64_t mtime, std::int64_t now);
// The Range of a request for a file with this tag and modification time is
// honoured: it has no If-Range, or one that is the tag itself (a weak tag
// never is), or the very second of the modification when that date is strong:
// a second or more before now. Else the copy the client holds a part of may
// not be this file, and it gets the whole. now as above.
bool asksrange(const asks& a, std::string tag, std::int64_t mtime, std::int64_t now);
// A name that begins with '.': never listed.
bool namehidden(std::string name);
// A decoded request path with a segment that begins with '.': never served.
// The first segment ".well-known" is not hidden, so its files are served;
// hidden names below it still are.
bool pathhidden(std::string path);
