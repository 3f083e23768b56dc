// Request text kinds: every bound is probed on both sides, since the
// predicates are what stand between a client and the dispatcher.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "request/kinds.h"

namespace {

// Bytes are plain (signed) chars: 128..255 must be judged by their byte value,
// not mistaken for small negatives that slip under a "< 32" test the wrong way.
TEST(Kinds, CharbadAroundEveryBound) {
    const std::vector<std::pair<int, bool>> rows = {
        {0, true},    {9, true},    {10, false},  {11, true},  {12, true},
        {13, false},  {14, true},   {31, true},   {32, false}, {126, false},
        {127, true},  {128, true},  {200, true},  {255, true},
    };
    for (auto [byte, bad] : rows)
        EXPECT_EQ(charbad(char(byte)), bad) << "byte " << byte;
}

TEST(Kinds, CharbadAdmitsExactlyLfCrAndPrintables) {
    int good = 0;
    for (int b = 0; b < 256; ++b)
        if (!charbad(char(b))) ++good;
    EXPECT_EQ(good, 2 + 95);
}

TEST(Kinds, CharlowOnlyTouchesCapitals) {
    const std::vector<std::pair<int, int>> rows = {
        {'@', '@'}, {'A', 'a'}, {'M', 'm'}, {'Z', 'z'}, {'[', '['},
        {'`', '`'}, {'a', 'a'}, {'z', 'z'}, {'A' + 128, 'A' + 128}, {0, 0},
    };
    for (auto [in, out] : rows)
        EXPECT_EQ(charlow(char(in)), char(out)) << "byte " << in;
}

struct textcase {
    std::string s, p;
    bool want;
};

TEST(Kinds, Cstrbegs) {
    const std::vector<textcase> rows = {
        {"abc", "ab", true},  {"abc", "abc", true}, {"ab", "abc", false},
        {"abc", "", true},    {"", "", true},       {"", "a", false},
        {"abc", "abd", false}, {"xbc", "ab", false}, {"a", "b", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(cstrbegs(r.s, r.p), r.want) << '"' << r.s << "\" \"" << r.p << '"';
}

TEST(Kinds, Cstrends) {
    const std::vector<textcase> rows = {
        {"abc", "bc", true},  {"abc", "abc", true}, {"c", "abc", false},
        {"abc", "", true},    {"", "", true},       {"", "a", false},
        {"abc", "ab", false}, {"abc", "xbc", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(cstrends(r.s, r.p), r.want) << '"' << r.s << "\" \"" << r.p << '"';
}

TEST(Kinds, CstrnoneAndCstrsize) {
    EXPECT_TRUE(cstrnone(""));
    EXPECT_FALSE(cstrnone(std::string(1, '\0')));
    EXPECT_EQ(cstrsize(""), 0u);
    EXPECT_EQ(cstrsize(std::string("a\0b", 3)), 3u);
}

TEST(Kinds, Linesane) {
    EXPECT_TRUE(linesane("\r\n"));
    EXPECT_TRUE(linesane("a\rb\nc\r\n"));
    EXPECT_FALSE(linesane("abc\n"));
    EXPECT_FALSE(linesane("abc\r"));
    EXPECT_FALSE(linesane("\n\r"));
    EXPECT_FALSE(linesane(""));
}

struct judged {
    std::string u;
    bool want;
};

TEST(Kinds, Linksane) {
    const std::vector<judged> rows = {
        {"host: a\r\n", true},
        {"host:a\r\n", true},
        {"host :a\r\n", true},
        {"x  :  y z\r\n", true},
        {"a:b\r\n", true},          // shortest: colon at size-4
        {"ab:\r\n", false},         // colon at size-3 leaves no value
        {"a:\r\n", false},
        {":a\r\n", false},          // the scan for ':' starts at index 1
        {":a:b\r\n", true},         // ...so a later colon still counts
        {"a:b:\r\n", true},
        {"hosta\r\n", false},
        {" host: a\r\n", false},
        {"host: a \r\n", false},
        {"host: \r\n", false},
        {"host:   \r\n", false},
        {"host:\ta\r\n", false},    // tabs are neither skipped nor allowed
        {"host: a\tb\r\n", false},
        {"host: a\x1f\r\n", false},
        {"host: ~\r\n", true},
        {"host: a\x7f\r\n", false},
        {"host: a\x80\r\n", false},
        {"host: a\xc8\r\n", false},
        {"host: a\rb\r\n", false},
        {"host: a\nb\r\n", false},
        {"host: a", false},
        {"host: a\n", false},
        {"\r\n", false},
        {"", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(linksane(r.u), r.want) << '"' << r.u << '"';
}

TEST(Kinds, LinknameLinkvaluLinkhost) {
    struct row {
        std::string u, name, valu;
    };
    const std::vector<row> rows = {
        {"host : a b\r\n", "host", "a b"},
        {"host:   x\r\n", "host", "x"},
        {"a:b\r\n", "a", "b"},
        {":a:b\r\n", ":a", "b"},
        {"a:b:c\r\n", "a", "b:c"},
        {"x  :  y z\r\n", "x", "y z"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(linkname(r.u), r.name) << r.u;
        EXPECT_EQ(linkvalu(r.u), r.valu) << r.u;
    }
    EXPECT_TRUE(linkhost("host: a\r\n"));
    EXPECT_TRUE(linkhost("host  : a\r\n"));
    EXPECT_FALSE(linkhost("Host: a\r\n"));  // reception lowers the case first
    EXPECT_FALSE(linkhost("hosts: a\r\n"));
    EXPECT_FALSE(linkhost("x: host\r\n"));
}

TEST(Kinds, PartsaneShortestAndItsNeighbours) {
    const std::string shortest = "G / 1\r\n";
    EXPECT_TRUE(partsane(shortest));
    // Dropping any one byte before the terminator leaves no room for some field.
    for (std::size_t i = 0; i + 2 < shortest.size(); ++i) {
        std::string six = shortest;
        six.erase(i, 1);
        EXPECT_FALSE(partsane(six)) << '"' << six << '"';
    }
}

TEST(Kinds, Partsane) {
    const std::vector<judged> rows = {
        {"GET / HTTP/1.1\r\n", true},
        {"get http://a/b HTTP/1.1\r\n", true},
        {"GE / 1\r\n", true},
        {"G / 1 \r\n", true},                 // the version is not looked into
        {"GET / HTTP/1.1 x\r\n", true},
        {"GET /a b HTTP/1.1\r\n", true},
        {"G /a \r\n", false},                 // blank at size-3: no version
        {"GET /\r\n", false},
        {"GET / \r\n", false},
        {"GET  / HTTP/1.1\r\n", false},
        {"GET /  HTTP/1.1\r\n", false},
        {" GET / HTTP/1.1\r\n", false},
        {"GET x HTTP/1.1\r\n", false},
        {"GET / HTTP/1.1", false},
        {"GET / HTTP/1.1\n", false},
        {"GET\t/ HTTP/1.1\r\n", false},
        {"GET / HTTP/1.1\x7f\r\n", false},
        {"GET /\xc8 HTTP/1.1\r\n", false},
        {"GET /\r HTTP/1.1\r\n", false},
        // Absolute targets: the host before the path must survive losing its port.
        {"GET http://a/b HTTP/1.1\r\n", true},
        {"GET http://a HTTP/1.1\r\n", true},  // no path: host not examined
        {"GET http:// HTTP/1.1\r\n", true},
        {"GET http://a:80/b HTTP/1.1\r\n", true},
        {"GET http://a:/b HTTP/1.1\r\n", true},
        {"GET http://8/b HTTP/1.1\r\n", true},
        {"GET http:///b HTTP/1.1\r\n", false},
        {"GET http://:80/b HTTP/1.1\r\n", false},
        {"GET http://:/b HTTP/1.1\r\n", false},
        {"GET HTTP://a/b HTTP/1.1\r\n", false},
        {"GET http:/a HTTP/1.1\r\n", false},
        {"GET http:a HTTP/1.1\r\n", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(partsane(r.u), r.want) << '"' << r.u << '"';
}

TEST(Kinds, QuizsaneAndQuizhost) {
    EXPECT_FALSE(quizsane(""));
    EXPECT_TRUE(quizsane("a"));
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"a:80", "a"}, {"a:", "a"},     {"a:8b", "a:8b"}, {"80", "80"},
        {":80", ""},   {"a", "a"},      {":", ""},        {"8", "8"},
        {"a80", "a80"}, {"a:b:80", "a:b"}, {"a.b:8080", "a.b"},
    };
    for (const auto& [quiz, host] : rows)
        EXPECT_EQ(quizhost(quiz), host) << '"' << quiz << '"';
}

}  // namespace
