// The HTML page that lists a served folder.
#pragma once
#include <set>
#include <string>

// The names in the folder, less "." and ".."; false when it cannot be opened.
bool dirnames(std::string file, std::set<std::string>* sort);
// The page for the folder file (root, "/", host, page path ending in "/")
// holding the names, in byte order.
std::string dirpage(std::string file, const std::set<std::string>& sort);
