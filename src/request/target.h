// Taking apart a stored request line (a part) and host line of a connection.
#pragma once
#include <cstdint>
#include <string>

// The request target: the text between the first and the second blank.
std::string partruri(std::string part);
// The host and port of an absolute "http://" target (may be empty).
std::string partquiz(std::string part);
// That host without its port.
std::string parthost(std::string part);
// The target from its path on: an absolute target's host is cut off.
std::string partrght(std::string part);
// The path of the target, up to its query.
std::string partpath(std::string part);

std::string clntpart(std::uint64_t i);
// The host of the request: the host line's value, port included.
std::string clnthost(std::uint64_t i);

// The path with each %XX (two hex digits, either case) made its byte; a '%'
// that is not followed by two hex digits stays as it is.
std::string pathdecode(std::string path);
// A decoded path with its dot segments taken out: "." stays where it is,
// ".." goes up one segment, and a final one leaves the path ending in "/".
// False when a ".." would climb above the path's start.
bool pathtidy(std::string path, std::string* out);
// A decoded path is safe to join to a site folder: it begins with "/", holds
// no control byte and no ".." segment, and the platform takes each segment as
// a name inside its folder (segsafe).
bool pathsafe(std::string path);
