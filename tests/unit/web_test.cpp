// The pure pieces of the --web mode: the kept header fields, byte ranges,
// HTTP dates, entity tags, the 304 and hidden-name choices, content types and
// the header writer.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "dispatch/webpick.h"
#include "output/types.h"
#include "output/webhead.h"
#include "request/asks.h"
#include "request/dates.h"
#include "request/ranges.h"
#include "request/tags.h"

namespace {

const std::int64_t nov94 = 784111777;   // Sun, 06 Nov 1994 08:49:37 GMT
const std::int64_t jan26 = 1767225600;  // Thu, 01 Jan 2026 00:00:00 GMT

TEST(Web, Hostsane) {
    // A host as Host or an absolute target gives it.
    const std::vector<std::pair<std::string, bool>> hosts = {
        {"A.b-c_d~:8080", true}, {"a.", true}, {"1.2.3.4:", true}, {"[::1]:80", true}, {"[1:2:3:4:5:6:7:8]", true},
        {"[::ffff:1.2.3.4]", true}, {"..", false}, {".a", false}, {"a:65536", false}, {"a:1:2", false},
        {"a\\b", false}, {"[1::2::3]", false}, {"[1:2:3:4:5:6:7]", false}, {"[::1.2.3.256]", false}, {"%4", false},
    };
    for (const auto& [host, want] : hosts) EXPECT_EQ(hostsane(host), want) << host;
}

TEST(Web, Spanread) {
    struct row {
        std::string valu;
        std::int64_t size;
        spanfate fate;
        std::int64_t first, count;
    };
    const std::string big = "18446744073709551621";  // 2^64 + 5: 5 once it wraps
    const std::int64_t k = 10000;
    const std::vector<row> rows = {
        {"bytes=0-499", k, spanpart, 0, 500},     {"bytes=500-999", k, spanpart, 500, 500},
        {"bytes=-500", k, spanpart, 9500, 500},   {"bytes=9500-", k, spanpart, 9500, 500},
        {"bytes=0-0", k, spanpart, 0, 1},         {"bytes=9999-", k, spanpart, 9999, 1},
        {"bytes=0-99999", k, spanpart, 0, k},     {"bytes=-20000", k, spanpart, 0, k},
        {"BYTES= 0-1 ,", k, spanpart, 0, 2},      {"bytes=,,7-8", k, spanpart, 7, 2},
        {"bytes=0005-6", k, spanpart, 5, 2},      {"bytes=0-" + big, k, spanpart, 0, k},
        {"bytes=-" + big, k, spanpart, 0, k},     {"bytes=0-0", 1, spanpart, 0, 1},
        {"bytes=10000-", k, spanmiss, 0, 0},      {"bytes=10000-20000", k, spanmiss, 0, 0},
        {"bytes=-0", k, spanmiss, 0, 0},          {"bytes=" + big + "-", k, spanmiss, 0, 0},
        {"bytes=1-", 1, spanmiss, 0, 0},          {"bytes=0-", 0, spanmiss, 0, 0},
        {"bytes=-0", 0, spanmiss, 0, 0},          {"bytes=-5", 0, spanwhole, 0, 0},
        {"", k, spanwhole, 0, k},                 {"bytes=5-4", k, spanwhole, 0, k},
        {"bytes=" + big + "-18446744073709551620", k, spanwhole, 0, k},
        {"bytes=0-1,5-6", k, spanwhole, 0, k},    {"bytes=0-1, bytes=5-6", k, spanwhole, 0, k},
        {"items=0-1", k, spanwhole, 0, k},        {"bytes 0-1", k, spanwhole, 0, k},
        {"bytes=", k, spanwhole, 0, k},           {"bytes=-", k, spanwhole, 0, k},
        {"bytes=a-b", k, spanwhole, 0, k},        {"bytes=1-2-3", k, spanwhole, 0, k},
        {"bytes=+1-2", k, spanwhole, 0, k},       {"bytes=0 -1", k, spanwhole, 0, k},
    };
    for (const auto& r : rows) {
        span s = spanread(r.valu, r.size);
        EXPECT_TRUE(s.fate == r.fate && s.first == r.first && s.count == r.count)
            << r.valu << " of " << r.size << ": " << s.fate << " " << s.first << " " << s.count;
        EXPECT_TRUE(spansane(s, r.size)) << r.valu << " of " << r.size;
    }
}

TEST(Web, Dates) {
    // Written and read: the IMF-fixdate of each time.
    const std::vector<std::pair<std::int64_t, std::string>> fixed = {
        {0, "Thu, 01 Jan 1970 00:00:00 GMT"},          {nov94, "Sun, 06 Nov 1994 08:49:37 GMT"},
        {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},  {4102444800, "Fri, 01 Jan 2100 00:00:00 GMT"},
        {-1, "Wed, 31 Dec 1969 23:59:59 GMT"},         {datelow, "Sat, 01 Jan 0000 00:00:00 GMT"},
        {datehigh, "Fri, 31 Dec 9999 23:59:59 GMT"},
    };
    for (const auto& [secs, text] : fixed) {
        std::int64_t back = 0;
        EXPECT_EQ(datetext(secs), text) << secs;
        EXPECT_TRUE(dateread(text, jan26, &back) && back == secs) << text;
    }
    EXPECT_EQ(datetext(datelow - 1), datetext(datelow));
    EXPECT_EQ(datetext(INT64_MAX), datetext(datehigh));

    // Read only; -1 for a text that is no date. Now is 2026.
    const std::vector<std::pair<std::string, std::int64_t>> read = {
        {"sun, 06 nov 1994 08:49:37 gmt", nov94},    {"Sunday, 06-Nov-94 08:49:37 GMT", nov94},
        {"Sun Nov  6 08:49:37 1994", nov94},         {"Sun Nov 06 08:49:37 1994", nov94},
        {"Mon, 06 Nov 1994 08:49:37 GMT", nov94},  // the day name is not checked
        {"Sun, 06 Nov 1994 08:49:60 GMT", nov94 + 23},
        // Now is 2026-01-01 00:00:00: up to 50 years ahead, and not a second more.
        {"Thursday, 01-Jan-76 00:00:00 GMT", 3345062400}, {"Thursday, 01-Jan-76 00:00:01 GMT", 189302401},
        {"Saturday, 06-Nov-76 08:49:37 GMT", 216118177},
        {"Sun, 06 Nov 1994 08:49:37 UTC", -1},  {"Sun, 6 Nov 1994 08:49:37 GMT", -1},
        {"Sun, 06 Nov 94 08:49:37 GMT", -1},    {"Sun, 06 Nov 1994 08:49:37 GMT ", -1},
        {"Sun, 06 Nov 1994 08:49 GMT", -1},     {"Sun, 06 Nov 1994 24:00:00 GMT", -1},
        {"Sun, 06 Nov 1994 23:60:00 GMT", -1},  {"Sun, 06 Nov 1994 23:00:61 GMT", -1},
        {"Sun, 31 Apr 1994 00:00:00 GMT", -1},  {"Sun, 29 Feb 1900 00:00:00 GMT", -1},
        {"Sun, 00 Nov 1994 00:00:00 GMT", -1},  {"Sun, 06 Nox 1994 08:49:37 GMT", -1},
        {"Sunday, 06-Nov-1994 08:49:37 GMT", -1}, {"Sun Nov  6 08:49:37 1994 GMT", -1},
        {"Sun, 06 Nov 1994 08:49:37 GMT, Sun, 06 Nov 1994 08:49:37 GMT", -1}, {"", -1},
    };
    for (const auto& [text, want] : read) {
        std::int64_t secs = -1;
        EXPECT_EQ(dateread(text, jan26, &secs), want != -1) << text;
        EXPECT_EQ(secs, want) << text;
    }
    std::int64_t secs = 0;
    EXPECT_TRUE(dateread("Friday, 01-Jan-00 00:00:00 GMT", 3786912000, &secs));
    EXPECT_EQ(secs, 4102444800) << "read in 2090, 00 is 2100";
}

TEST(Web, Tags) {
    EXPECT_EQ(tagmake(0, 0, 0), "\"0-0\"");
    EXPECT_EQ(tagmake(1234, 0x5f5e10a, 0), "\"5f5e10a-4d2\"");
    EXPECT_EQ(tagmake(1234, 0x5f5e10a, 255), "\"5f5e10a.ff-4d2\"");
    EXPECT_EQ(tagmake(5, -1, 0), "\"ffffffffffffffff-5\"");
    const std::vector<std::pair<std::string, bool>> sane = {
        {"\"\"", true},      {"\"a!#~\x80\"", true}, {"\"", false},       {"a", false},
        {"W/\"a\"", false}, {"\"a\"b\"", false},    {"\"a b\"", false}, {"\"a\x7f\"", false},
    };
    for (const auto& [tag, want] : sane) EXPECT_EQ(tagsane(tag), want) << tag;

    const std::string tag = "\"5f-4d2\"";
    const std::vector<std::pair<std::string, bool>> lists = {
        {tag, true},         {"*", true},          {" * ", true},         {"w/" + tag, false},
        {"W/" + tag, true},  {"\"x\", " + tag, true}, {"\"x\",, " + tag + " ,", true},
        {"\"5F-4D2\"", false}, {"5f-4d2", false},  {"\"x\"", false},      {tag + " \"x\"", false},
        {"\"x\", junk, " + tag, false}, {"\"5f-4d2", false}, {"*, " + tag, false}, {"", false},
        {"w/ " + tag, false}, {"\"5f-4d2\"x", false},
    };
    for (const auto& [list, want] : lists) EXPECT_EQ(tagmatch(list, tag, false), want) << list;
    // The strong comparison: a weak tag matches nothing.
    EXPECT_TRUE(tagmatch("\"x\", " + tag, tag, true) && !tagmatch("W/" + tag, tag, true));
}

TEST(Web, Asksfresh) {
    const std::string tag = "\"5f-4d2\"", at = "sun, 06 nov 1994 08:49:37 gmt";
    const std::string before = "sun, 06 nov 1994 08:49:36 gmt", after = "sun, 06 nov 1994 08:49:38 gmt";
    struct row {
        std::string match, since;
        bool fresh;
    };
    const std::vector<row> rows = {
        {tag, "", true},         {tag, before, true},     {"*", "", true},      {"\"x\"", after, false},
        {"\"x", after, false},   {"", at, true},          {"", after, true},    {"", before, false},
        {"", "yesterday", false}, {"", "sunday, 06-nov-94 08:49:37 gmt", true}, {"", "", false},
    };
    for (const auto& r : rows) {
        asks a;
        a.match = r.match;
        a.since = r.since;
        EXPECT_EQ(asksfresh(a, tag, nov94, jan26), r.fresh) << r.match << " | " << r.since;
    }
}

TEST(Web, Hidden) {
    const std::vector<std::pair<std::string, bool>> rows = {
        {"/", false},        {"/a/b.txt", false},      {"/a.b/c.", false},   {"//x", false},
        {"/.well-known", false}, {"/.well-known/", false}, {"/.well-known/acme/t", false},
        {"/.git", true},     {"/.git/config", true},   {"/a/.env", true},    {"/a/./b", true},
        {"/.", true},        {"/.well-known/.x", true}, {"/.well-knownx/y", true},
        {"/a/.well-known/x", true},
    };
    for (const auto& [path, hidden] : rows) EXPECT_EQ(pathhidden(path), hidden) << path;
    EXPECT_TRUE(namehidden(".env") && namehidden(".well-known"));
    EXPECT_FALSE(namehidden("a.b") || namehidden(""));
}

TEST(Web, Mimefind) {
    const std::string utf = "; charset=utf-8", app = "application/", oct = "application/octet-stream";
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"/a/index.html", "text/html" + utf}, {"/A.HTM", "text/html" + utf}, {"s.css", "text/css" + utf},
        {"m.Js", "text/javascript" + utf}, {"m.mjs", "text/javascript" + utf},
        {"d.json", app + "json" + utf}, {"m.js.map", app + "json" + utf},
        {"i.svg", "image/svg+xml" + utf}, {"r.txt", "text/plain" + utf}, {"r.md", "text/markdown" + utf},
        {"t.csv", "text/csv" + utf}, {"f.xml", app + "xml" + utf}, {"w.wasm", app + "wasm"},
        {"p.png", "image/png"}, {"p.jpg", "image/jpeg"}, {"p.JPEG", "image/jpeg"}, {"p.gif", "image/gif"},
        {"p.webp", "image/webp"}, {"p.avif", "image/avif"}, {"favicon.ico", "image/x-icon"},
        {"d.pdf", app + "pdf"}, {"v.mp4", "video/mp4"}, {"v.webm", "video/webm"}, {"a.mp3", "audio/mpeg"},
        {"a.ogg", "audio/ogg"}, {"a.wav", "audio/wav"}, {"a.flac", "audio/flac"}, {"f.woff", "font/woff"},
        {"f.woff2", "font/woff2"}, {"f.ttf", "font/ttf"}, {"f.otf", "font/otf"}, {"z.zip", app + "zip"},
        {"z.tar.gz", app + "gzip"}, {"z.tar", app + "x-tar"}, {"/a.html/b", oct}, {"/a/b.", oct},
        {"/noext", oct}, {"", oct}, {"/x.exe", oct}, {"/x.htmlx", oct}, {"/x.js/", oct},
        {"a.webmanifest", app + "manifest+json" + utf}, {"s.vtt", "text/vtt" + utf}, {"v.mov", "video/quicktime"},
        {"x.xhtml", app + "xhtml+xml" + utf}, {"a.m4a", "audio/mp4"}, {"p.bmp", "image/bmp"},
        {"z.7z", app + "x-7z-compressed"},
    };
    for (const auto& [name, type] : rows) EXPECT_EQ(mimefind(name), type) << name;
}

TEST(Web, Headmake) {
    webhead file;
    file.type = "text/plain";
    file.length = file.size = 10000;
    file.mtime = nov94;
    file.tag = tagmake(10000, nov94, 0);
    file.now = jan26;
    const std::string date = "Date: Thu, 01 Jan 2026 00:00:00 GMT\r\nConnection: close\r\n\r\n";
    const std::string tail = "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
                             "ETag: \"2ebc98a1-2710\"\r\nAccept-Ranges: bytes\r\n" + date;
    webhead part = file, same = file, miss = file, ahead = file, nope, move;
    part.code = 206, part.first = 9500, part.length = 500;
    same.code = 304;
    miss.code = 416, miss.type = "", miss.length = 0;
    // A file changed after now is said to have changed now.
    ahead.mtime = jan26 + 5;
    nope.code = 405, nope.now = jan26;
    move.code = 303, move.now = jan26, move.where = "/d/", move.type = "text/html", move.length = 12;
    const std::vector<std::pair<webhead, std::string>> rows = {
        {file, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10000\r\n" + tail},
        {part, "HTTP/1.1 206 Partial Content\r\nContent-Type: text/plain\r\nContent-Length: 500\r\n"
               "Content-Range: bytes 9500-9999/10000\r\n" + tail},
        {same, "HTTP/1.1 304 Not Modified\r\n" + tail},
        {miss, "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n"
               "Content-Range: bytes */10000\r\n" + tail},
        {ahead, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10000\r\n"
                "Last-Modified: Thu, 01 Jan 2026 00:00:00 GMT\r\n" + tail.substr(tail.find("ETag"))},
        {nope, "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\nAllow: GET, HEAD\r\n" + date},
        {move, "HTTP/1.1 303 See Other\r\nContent-Type: text/html\r\nContent-Length: 12\r\n"
               "Location: /d/\r\n" + date},
    };
    for (const auto& [h, text] : rows) EXPECT_EQ(headmake(h), text) << h.code;

    // What no answer may carry.
    std::vector<webhead> bad(7, file);
    bad[0].code = 500;
    bad[1].type = "text/html\r\nX: y";
    bad[2].code = 206, bad[2].first = 9999, bad[2].length = 2;
    bad[3].code = 206, bad[3].length = 0;
    bad[4].tag = "unquoted";
    bad[5].size = -1, bad[5].code = 304;
    bad[6].code = 303;
    for (std::size_t k = 0; k < bad.size(); ++k) EXPECT_FALSE(headsane(bad[k])) << k;
}

}  // namespace
