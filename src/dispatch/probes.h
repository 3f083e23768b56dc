// File-system probes of the dispatcher, and the helpers on host names.
#pragma once
#include <cstdint>
#include <string>

#include "platform/files.h"

// One status call: what the path names and its size. A path that is gone
// gives mode 0 and size -1.
statinfo statpeek(std::string path);
// The entry exists, whatever its kind.
bool statexists(std::string path);
// A regular file: the only kind the server ever opens.
bool statfile(const statinfo& data);
bool statdir(const statinfo& data);

bool namenodot(std::string name);
// The name after its first '.'; there must be one.
std::string nameafterdot(std::string name);
std::string numtext(std::int64_t numb);
