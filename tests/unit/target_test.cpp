// Request target helpers: taking the request line apart, and turning its path
// into one that may be joined to a site folder.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/conn.h"
#include "request/kinds.h"
#include "request/target.h"

namespace {

struct partcase {
    std::string part, ruri, rght, path;
    std::string quiz;  // empty for an origin-form target
};

TEST(Target, PartPieces) {
    const std::vector<partcase> rows = {
        {"GET /a?b HTTP/1.1\r\n", "/a?b", "/a?b", "/a", ""},
        {"GET http://a.b:8080/x/y HTTP/1.1\r\n", "http://a.b:8080/x/y", "/x/y", "/x/y", "a.b:8080"},
        {"GET http://a HTTP/1.1\r\n", "http://a", "/", "/", "a"},
        {"GET http://a/x?q=/y HTTP/1.1\r\n", "http://a/x?q=/y", "/x?q=/y", "/x", "a"},
        {"GET /? HTTP/1.1\r\n", "/?", "/?", "/", ""},
        {"GET /?x HTTP/1.1\r\n", "/?x", "/?x", "/", ""},
        {"GET / HTTP/1.1 x\r\n", "/", "/", "/", ""},
        {"DELETE /%41/b%3F?c?d HTTP/1.0\r\n", "/%41/b%3F?c?d", "/%41/b%3F?c?d", "/%41/b%3F", ""},
    };
    for (const auto& r : rows) {
        ASSERT_TRUE(partsane(r.part)) << r.part;
        EXPECT_EQ(partruri(r.part), r.ruri) << r.part;
        EXPECT_EQ(partrght(r.part), r.rght) << r.part;
        EXPECT_EQ(partpath(r.part), r.path) << r.part;
        if (!r.quiz.empty()) {
            EXPECT_EQ(partquiz(r.part), r.quiz) << r.part;
        }
    }
    EXPECT_EQ(parthost("GET http://a.b:8080/x/y HTTP/1.1\r\n"), "a.b");
    EXPECT_EQ(parthost("GET http://a:/ HTTP/1.1\r\n"), "a");
}

TEST(Target, Quizhost) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"a:80", "a"}, {"a:", "a"}, {"a:8b", "a:8b"}, {"80", "80"}, {":80", ""}, {"a", "a"},
        {"a.b:1:2", "a.b:1"},
    };
    for (const auto& [quiz, host] : rows) EXPECT_EQ(quizhost(quiz), host) << quiz;
}

// The host of an entry comes from its host line, port included, and from the
// absolute target only while no host line is stored.
TEST(Target, ClnthostAndClntpart) {
    std::deque<conn> saved;
    saved.swap(clnts());
    clnts().resize(2);
    clntconn(1).rqst = "GET http://x.y:9/p HTTP/1.1\r\n";
    clntconn(1).head = "host: a:81\r\n";
    EXPECT_EQ(clnthost(1), "a:81");
    EXPECT_EQ(clntpart(1), "GET http://x.y:9/p HTTP/1.1\r\n");
    clntconn(1).head.clear();
    EXPECT_EQ(clnthost(1), "x.y");
    clnts().swap(saved);
}

TEST(Target, Pathdecode) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"/a%20b", "/a b"},      {"/%41%61", "/Aa"},      {"/%4a%4A", "/JJ"},
        {"/%2e%2e", "/.."},      {"/%2E%2e/x", "/../x"},  {"/%2f..", "//.."},
        {"/..%2f", "/../"},      {"%", "%"},              {"/%", "/%"},
        {"/%4", "/%4"},          {"/%zz", "/%zz"},        {"/%%41", "/%A"},
        {"/%g1%1g", "/%g1%1g"},  {"/%41", "/A"},          {"/%252e", "/%2e"},
        {"/%ff", "/\xff"},       {"", ""},
    };
    for (const auto& [in, out] : rows) EXPECT_EQ(pathdecode(in), out) << in;
    EXPECT_EQ(pathdecode("/%00x"), std::string("/\0x", 3));
}

TEST(Target, Pathsafe) {
    const std::vector<std::pair<std::string, bool>> rows = {
        {"/", true},       {"/a/b.txt", true}, {"/...", true},   {"/..a", true},
        {"/a..", true},    {"/a/..b/", true},  {"/~x", true},    {"/.", true},
        {"//", true},      {"/\xc3\xa9", true}, {"/a b", true},
        {"/..", false},    {"/../", false},    {"/a/../b", false}, {"/a/..", false},
        {"..", false},     {"a", false},       {"", false},      {"\\..", false},
        {"/\x1f", false},  {"/\x7f", false},   {"/a\tb", false},
    };
    for (const auto& [path, safe] : rows) EXPECT_EQ(pathsafe(path), safe) << path;
    EXPECT_FALSE(pathsafe(std::string("/a\0b", 4)));
}

// The two steps together, as the dispatcher runs them on a received path.
TEST(Target, DecodedThenChecked) {
    const std::vector<std::pair<std::string, bool>> rows = {
        {"/%2e%2e", false}, {"/%2E%2e", false}, {"/%2f..", false}, {"/..%2f", false},
        {"/a/%2e%2e/b", false}, {"/%00", false}, {"/%1f", false}, {"/%7f", false},
        {"/%7e", true},     {"/%2e", true},     {"/%2e%2e%2e", true}, {"/%", true},
        {"/%4", true},      {"/%zz", true},     {"/%%41", true},  {"/%2e.a", true},
    };
    for (const auto& [path, safe] : rows) EXPECT_EQ(pathsafe(pathdecode(path)), safe) << path;
}

}  // namespace
