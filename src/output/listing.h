// The HTML page that lists a served folder.
#pragma once
#include <set>
#include <string>

// The page for the folder file (root, "/", host, page path ending in "/")
// holding the names, in byte order. When the names that are folders are
// given, their links and the one to ".." end in "/".
std::string dirpage(std::string file, const std::set<std::string>& sort,
                    const std::set<std::string>* dirs = nullptr);
