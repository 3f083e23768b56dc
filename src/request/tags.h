// Entity tags: the strong tag of a file, and the If-None-Match list.
#pragma once
#include <cstdint>
#include <string>

// A strong entity tag: a double quote, bytes 0x21, 0x23..0x7E or 0x80..0xFF,
// a double quote.
bool tagsane(const std::string& tag);
// The tag of a file from its size and modification time, in hex:
// "\"<mtime>-<size>\"", or "\"<mtime>.<nsec>-<size>\"" when the time has a part
// of a second, so a file rewritten within a second gets a new tag.
std::string tagmake(std::int64_t size, std::int64_t mtime, std::int64_t nsec);
// A list of If-None-Match or If-Match matches the tag: it is "*", or one of
// its tags is the tag, byte for byte. By the weak comparison a "W/" in front
// of a tag does not count; by the strong one a tag so marked matches nothing.
// A list that does not parse matches nothing.
bool tagmatch(std::string list, std::string tag, bool strong);
