// Entity tags: the strong tag of a file, and the If-None-Match list.
#pragma once
#include <cstdint>
#include <string>

// A strong entity tag: a double quote, bytes 0x21, 0x23..0x7E or 0x80..0xFF,
// a double quote.
bool tagsane(std::string tag);
// The tag of a file from its size and modification time, in lower-case hex:
// "\"<mtime>-<size>\"". Lower case, because reception lowers the tags a client
// sends back. A file rewritten to the same size within the same second keeps
// its tag.
std::string tagmake(std::int64_t size, std::int64_t mtime);
// An If-None-Match value matches the tag: it is "*", or a list of tags one of
// which is the tag by the weak comparison (a "W/" or "w/" in front of a tag
// does not count). A list that does not parse matches nothing, so the client
// gets the full answer.
bool tagmatch(std::string list, std::string tag);
