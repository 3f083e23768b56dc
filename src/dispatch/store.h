// Small files' bytes kept in memory: asking for one costs one status call,
// not an open, a status, a send of the file and a close.
#pragma once
#include <cstdint>
#include <string>

#include "platform/files.h"

// A file kept: its status when it was read, its bytes, and what its answers
// say of it.
struct stored {
    statinfo data;
    std::string body;
    std::string type;
    std::string tag;
};

// The largest file kept, and the most bytes kept in all.
const std::int64_t storefile = 64 * 1024;
const std::int64_t storemost = 8 * 1024 * 1024;

// A file with this status may be kept at the clock time now (seconds): a
// regular file no larger than storefile, whose identity the system gives,
// and whose time is at least a second old. File times move in clock ticks,
// so a younger file could be written again and show the same status; an
// older one shows a new time with any change.
bool storefits(const statinfo& data, std::int64_t now);
// The kept file of this name, if its status is the one it was read with:
// device, inode, size and both times to the nanosecond. Null otherwise.
const stored* storefind(const std::string& name, const statinfo& data);
// Keeps the file's bytes, read whole with this status (storefits must hold);
// the files asked for least lately give way to stay within storemost.
const stored* storeput(const std::string& name, stored file);
