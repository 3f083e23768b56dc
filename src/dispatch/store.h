// Files' bytes kept in memory, each checked by the file's status before it is
// used: small files as they are, so that asking for one costs one status
// call, not an open, a status, a send of the file and a close; and text
// compressed once, so that it is not compressed again for each client.
#pragma once
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "platform/files.h"

// A file kept: its status when it was read, its bytes (compressed or not),
// and what its answers say of it.
struct stored {
    statinfo data;
    std::string body;
    std::string type;
    std::string tag;
};

// A file on a shelf, shared with the answers on their way: one that gives
// way lives on until they are out. Its place in the order, when it was last
// asked for (s), and the bytes it holds.
struct shelved {
    std::shared_ptr<const stored> file;
    std::list<std::string>::iterator place;
    std::int64_t seen = 0;
    std::int64_t cost = 0;
};

// Kept files by key, the one asked for most lately first, in at most `most`
// bytes with the `held` of work that is to end on it: those asked for least
// lately give way. An entry counts what its strings hold, not their length.
struct shelf {
    std::int64_t most = 0;
    std::int64_t bytes = 0;
    std::int64_t held = 0;
    std::list<std::string> order;
    std::map<std::string, shelved> kept;
};

// The largest small file kept, and the most bytes of them in all.
const std::int64_t storefile = 64 * 1024;
const std::int64_t storemost = 8 * 1024 * 1024;

// The shelf of small files as they are.
shelf& bodies();
// A file with this status may be kept at the clock time now (seconds): a
// regular file whose identity the system gives, and whose time is at least a
// second old. File times move in clock ticks, so a younger file could be
// written again and show the same status; an older one shows a new time with
// any change.
bool storeaged(const statinfo& data, std::int64_t now);
// The same for the small files' shelf: no larger than storefile, too.
bool storefits(const statinfo& data, std::int64_t now);
// The file kept under key, if the status given is the one it was read with:
// device, inode, size and both times to the nanosecond. Null otherwise.
std::shared_ptr<const stored> shelffind(shelf& s, const std::string& key, const statinfo& data);
// Keeps the file under key; those asked for least lately give way. A file
// larger than the room the shelf can make is given back, not kept.
std::shared_ptr<const stored> shelfput(shelf& s, const std::string& key, stored file);
// Makes room for need bytes more, giving way only files last asked for
// before since (s); whether they fit.
bool shelfroom(shelf& s, std::int64_t need, std::int64_t since);
// The small files' shelf, by name.
std::shared_ptr<const stored> storefind(const std::string& name, const statinfo& data);
std::shared_ptr<const stored> storeput(const std::string& name, stored file);
