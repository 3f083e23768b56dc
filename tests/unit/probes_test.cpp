// The dispatcher's probes and name helpers, and the texts it writes: the log
// line's columns and the redirect to a folder's trailing slash.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "dispatch/probes.h"
#include "dispatch/store.h"
#include "dispatch/respond.h"
#include "dispatch/serve.h"

namespace {

class Probes : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/tavi-probe-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        int fd = open((dir + "/file").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "hello", 5), 5);
        close(fd);
        fd = open((dir + "/none").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
        ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
        ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0644), 0);
        ASSERT_EQ(symlink("file", (dir + "/link").c_str()), 0);
        ASSERT_EQ(symlink("gone", (dir + "/dead").c_str()), 0);
    }
    void TearDown() override {
        for (const char* n : {"/file", "/none", "/pipe", "/link", "/dead"}) unlink((dir + n).c_str());
        rmdir((dir + "/sub").c_str());
        rmdir(dir.c_str());
    }
    std::string dir;
};

struct probecase {
    const char* name;
    bool exists, file, folder;
    std::int64_t size;  // -1 for an entry that is gone; unchecked when -2
};

TEST_F(Probes, EveryKindOfEntry) {
    const std::vector<probecase> rows = {
        {"/file", true, true, false, 5},    {"/none", true, true, false, 0},
        {"/link", true, true, false, 5},    {"/sub", true, false, true, -2},
        {"/sub/", true, false, true, -2},   {"/pipe", true, false, false, 0},
        {"/missing", false, false, false, -1}, {"/dead", false, false, false, -1},
        {"/file/", false, false, false, -1},   {"/file/x", false, false, false, -1},
    };
    for (const auto& r : rows) {
        std::string path = dir + r.name;
        EXPECT_EQ(statexists(path), r.exists) << r.name;
        statinfo data = statpeek(path);
        EXPECT_EQ(statfile(data), r.file) << r.name;
        EXPECT_EQ(statdir(data), r.folder) << r.name;
        if (r.size != -2) {
            EXPECT_EQ(data.st_size, r.size) << r.name;
        }
    }
}

// The kept small files: only an old file is taken; any change of its status
// (ctime alone included) misses; the bytes kept stay within their bound, the
// file asked for lately staying.
TEST(Store, IdentityAndBound) {
    const std::int64_t now = 2000000000;
    statinfo data{_S_IFREG, storefile, now - 2, 5, 7, 9, 11};
    EXPECT_TRUE(storefits(data, now));
    statinfo young = data, big = data, blind = data;
    young.st_time = now - 1;
    big.st_size = storefile + 1;
    blind.st_ino = 0;
    for (const statinfo& no : {young, big, blind}) EXPECT_FALSE(storefits(no, now));
    ASSERT_NE(storeput("/s/0", stored{data, std::string(storefile, 'x'), "", ""}), nullptr);
    for (const auto& moved : {&statinfo::st_time, &statinfo::st_nsec, &statinfo::st_size, &statinfo::st_ctns}) {
        statinfo other = data;
        ++(other.*moved);
        EXPECT_EQ(storefind("/s/0", other), nullptr);
        storeput("/s/0", stored{data, std::string(storefile, 'x'), "", ""});
    }
    for (int k = 1; k <= 2 * storemost / storefile; ++k) {
        ASSERT_NE(storefind("/s/0", data), nullptr) << k;
        storeput("/s/" + std::to_string(k), stored{data, std::string(storefile, 'y'), "", ""});
    }
    EXPECT_EQ(storefind("/s/1", data), nullptr);
    EXPECT_NE(storefind("/s/" + std::to_string(2 * storemost / storefile), data), nullptr);
    // Entries of mixed sizes: a large one makes many small ones give way.
    std::int64_t top = 0, put = 0, held = 0;
    for (auto [count, size] : {std::pair{8000, 1000}, {200, storefile}, {2000, 100}, {100, storefile / 2}})
        for (int k = 0; k < count; ++k, top = std::max(top, bodies().bytes)) {
            data.st_size = size;
            storeput("/m/" + std::to_string(put++), stored{data, std::string(std::size_t(size), 'z'), "", ""});
        }
    for (const auto& [key, entry] : bodies().kept) held += std::int64_t(key.size() + entry.file->body.capacity());
    EXPECT_LE(top, storemost);
    EXPECT_LE(held, storemost);
    EXPECT_GT(held, storemost / 2);
}

TEST(Names, Dots) {
    const std::vector<std::pair<std::string, bool>> nodot = {
        {"localhost", true}, {"", true}, {"a.b", false}, {".", false}, {"a.", false},
    };
    for (const auto& [name, want] : nodot) EXPECT_EQ(namenodot(name), want) << name;
    const std::vector<std::pair<std::string, std::string>> after = {
        {"x.y.z", "y.z"}, {"z.", ""}, {".a", "a"}, {"..", "."}, {"www.site.test", "site.test"},
    };
    for (const auto& [name, want] : after) EXPECT_EQ(nameafterdot(name), want) << name;
}

TEST(Names, Numtext) {
    const std::vector<std::pair<std::int64_t, std::string>> rows = {
        {0, "0"}, {1, "1"}, {1048576, "1048576"}, {5368709120LL, "5368709120"},
        {-1, "-1"}, {-42, "-42"}, {INT64_MAX, "9223372036854775807"},
        {INT64_MIN, "-9223372036854775808"},
    };
    for (const auto& [numb, text] : rows) EXPECT_EQ(numtext(numb), text) << text;
}

TEST(Log, TodoColumns) {
    const std::string sixty(60, 'x');
    const std::vector<std::pair<std::pair<std::string, std::string>, std::string>> rows = {
        {{"site.test", "/docs/a.txt"}, "site.test/docs/a.txt" + std::string(44, ' ')},
        {{"a", "/docs/a.txt"}, "/docs/a.txt" + std::string(53, ' ')},
        {{"ab", "/"}, "ab/" + std::string(61, ' ')},
        {{"A", "/"}, "A/" + std::string(62, ' ')},
        {{"h", "/" + std::string(62, 'y')}, "h/" + std::string(62, 'y')},
        {{"host", "/" + sixty + "TAIL"}, "host/" + sixty.substr(0, 59)},
        {{"a", "/" + sixty + "abcdef"}, "/" + sixty + "abc"},
    };
    for (const auto& [in, want] : rows) {
        std::string got = logtodo(in.first, in.second);
        EXPECT_EQ(got.size(), 64u) << in.first << in.second;
        EXPECT_EQ(got, want) << in.first << in.second;
    }
}

TEST(Log, Address) {
    const std::vector<std::pair<std::vector<unsigned char>, std::string>> rows = {
        {{192, 168, 1, 20}, "192.168.001.020"},
        {{127, 0, 0, 1}, "127.000.000.001"},
        {{0, 0, 0, 0}, "000.000.000.000"},
        {{255, 255, 255, 255}, "255.255.255.255"},
        {{10, 99, 100, 9}, "010.099.100.009"},
    };
    for (const auto& [four, want] : rows) EXPECT_EQ(logaddr(four.data()), want);
    const std::vector<std::pair<std::vector<unsigned char>, std::string>> sixes = {
        // The longest run of zero groups, the first of equals, never a single one.
        {{0x20, 1, 0x0d, 0xb8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}, "2001:db8:0:1::"},
        {{0x20, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0xab, 0xcd}, "2001::1:0:0:1:abcd"},
        {{0x20, 1, 0x0d, 0xb8, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}, "2001:db8:0:1:1:1:1:1"},
    };
    for (const auto& [six, want] : sixes) EXPECT_EQ(logsix(six.data()), want);
}

// Location takes the path as received plus "/"; a leading run of separators
// is one '/', or a browser would take the next word for a host.
TEST(Redirect, Slashtext) {
    const std::vector<std::pair<std::string, std::pair<std::string, std::string>>> rows = {
        {"/docs", {"/docs/", "/docs/"}},
        {"//evil", {"/evil/", "/evil/"}},
        {"/\\evil", {"/evil/", "/evil/"}},
        {"\\/\\//evil.com/x", {"/evil.com/x/", "/evil.com/x/"}},
        {"/a//b", {"/a//b/", "/a//b/"}},
        {"/a b", {"/a b/", "/a b/"}},
        {"/x\"y", {"/x\"y/", "/x&quot;y/"}},
        {"/<i>&'", {"/<i>&'/", "/&lt;i&gt;&amp;&#39;/"}},
        {"/%2e%2e", {"/%2e%2e/", "/%2e%2e/"}},
    };
    for (const auto& [path, want] : rows) {
        const auto& [location, html] = want;
        EXPECT_EQ(slashtext(path), "HTTP/1.1 303 needs_slash\r\nLocation: " + location +
                                       "\r\n\r\nThis directory needs a trailing slash. "
                                       "Redirecting you to <a href=\"" +
                                       html + "\">" + html + "</a>")
            << path;
    }
}

}  // namespace

TEST(NamesDeathTest, NameafterdotNeedsADot) {
    EXPECT_DEATH(nameafterdot("nodot"), "Assertion `s' failed");
}
