#include "output/types.h"
#include "request/kinds.h"

namespace {

struct mime {
    const char* ext;
    const char* type;
};

// Browsers refuse a module script, a wasm stream or an SVG image sent with
// another type; the rest they would mostly guess.
const mime mimes[] = {
    {"html", "text/html; charset=utf-8"},
    {"htm", "text/html; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"js", "text/javascript; charset=utf-8"},
    {"mjs", "text/javascript; charset=utf-8"},
    {"json", "application/json; charset=utf-8"},
    {"map", "application/json; charset=utf-8"},
    {"svg", "image/svg+xml; charset=utf-8"},
    {"txt", "text/plain; charset=utf-8"},
    {"md", "text/markdown; charset=utf-8"},
    {"csv", "text/csv; charset=utf-8"},
    {"xml", "application/xml; charset=utf-8"},
    {"xhtml", "application/xhtml+xml; charset=utf-8"},
    {"webmanifest", "application/manifest+json; charset=utf-8"},
    {"vtt", "text/vtt; charset=utf-8"},
    {"wasm", "application/wasm"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"bmp", "image/bmp"},
    {"webp", "image/webp"},
    {"avif", "image/avif"},
    {"ico", "image/x-icon"},
    {"pdf", "application/pdf"},
    {"mp4", "video/mp4"},
    {"webm", "video/webm"},
    {"mov", "video/quicktime"},
    {"m4a", "audio/mp4"},
    {"mp3", "audio/mpeg"},
    {"ogg", "audio/ogg"},
    {"wav", "audio/wav"},
    {"flac", "audio/flac"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"ttf", "font/ttf"},
    {"otf", "font/otf"},
    {"zip", "application/zip"},
    {"7z", "application/x-7z-compressed"},
    // A .tar.gz is a gzip file: sent as it is, not as a tar with an encoding.
    {"gz", "application/gzip"},
    {"tar", "application/x-tar"},
};

}  // namespace

std::string mimefind(std::string name) {
    std::string base = name.substr(name.rfind('/') + 1);
    std::size_t dot = base.rfind('.');
    if (dot != std::string::npos) {
        std::string ext = base.substr(dot + 1);
        for (char& c : ext) c = charlow(c);
        for (const mime& m : mimes)
            if (ext == m.ext) return m.type;
    }
    return "application/octet-stream";
}

bool mimepress(const std::string& type) {
    for (const char* kind : {"text/", "application/json", "application/xml", "application/xhtml+xml",
                             "application/manifest+json", "image/svg+xml", "application/wasm", "image/x-icon"})
        if (type.compare(0, std::char_traits<char>::length(kind), kind) == 0) return true;
    return false;
}
