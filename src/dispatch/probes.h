// File-system probes of the dispatcher, and the helpers on host names.
#pragma once
#include <cstdint>
#include <string>

#include "platform/files.h"

// The entry exists, whatever its kind.
bool statexists(std::string path);
// A regular file: the only kind the server ever opens.
bool statfile(std::string path);
bool statdir(std::string path);
// The size of the entry, or -1 when it is gone.
std::int64_t statsize(std::string path);

bool namenodot(std::string name);
// The name after its first '.'; there must be one.
std::string nameafterdot(std::string name);
std::string numtext(std::int64_t numb);
