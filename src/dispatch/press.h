// Text compressed once, then kept: a file is compressed in a coding the first
// time a client asks for it so, and answered from memory after that while its
// status stays the same. A small file is compressed at once; a larger one in
// slices over the turns of the loop, answered as it is meanwhile, so that no
// client waits behind another's compression.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "dispatch/store.h"
#include "request/codings.h"

// The smallest and largest file compressed, and the largest compressed while
// its request waits.
const std::int64_t pressleast = 1024;
const std::int64_t pressmostfile = 8 * 1024 * 1024;
const std::int64_t pressnowmost = 64 * 1024;
// The bound of all that compression holds, unless --zcache sets another: the
// files kept, and the compressors at work with what they have made so far.
const std::int64_t pressbound = 64 * 1024 * 1024;

// The shelf of compressed files; its most is the bound, its held what the
// compressors at work hold.
shelf& pressed();
// The codings (bits) a file of this status may be compressed to and kept at
// the clock time now (seconds): its size is within the bounds, its time a
// second old, and the coding's compressor and a body as large as the file
// fit in the bound.
unsigned pressable(const statinfo& data, std::int64_t now);
// The tag of a body in coding c: the file's own, marked with the coding.
std::string tagcoded(const std::string& tag, coding c);
// The key of name in coding c on the shelf.
std::string presskey(const std::string& name, coding c);
// Compresses body, the whole of name read with status data, and keeps it with
// its type and tag; null when the compression fails.
std::shared_ptr<const stored> pressnow(const std::string& name, coding c, stored file);
// Queues name, of status data, for compression in c; nothing when it is
// queued already, or when the line is full.
void pressqueue(const std::string& name, coding c, const stored& file);
// Compresses queued files for about usec microseconds; true while some remain.
bool presswork(std::int64_t usec);
