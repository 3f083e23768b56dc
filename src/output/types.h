// The content type of a file, by its extension.
#pragma once
#include <string>

// The type of the extension behind the last '.' of the last segment of name,
// matched in any case; "application/octet-stream" for any other name. Text
// types carry "; charset=utf-8": a browser given none guesses the encoding.
std::string mimefind(std::string name);
// A type mimefind gives is one worth compressing: text, scripts, JSON, SVG,
// XML, manifests, wasm and icons; never images, sound, video, fonts or
// archives, which are compressed already.
bool mimepress(const std::string& type);
