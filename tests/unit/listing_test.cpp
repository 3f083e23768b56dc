// The listing page of a served folder, and the reading of the folder's names.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "core/world.h"
#include "output/listing.h"
#include "platform/files.h"

namespace {

const std::string head = "<html><head><title>";
const std::string style = "</title><style>\ntable,th,td{border:1px solid black;}</style></head><body>\n";
const std::string table = "</h2>\n<p><table style=\"width:100%\">\n";
const std::string tail = "</table>\n</body></html>\n";

// Sets the served root and port for one test and puts the old ones back.
class Listing : public ::testing::Test {
protected:
    void SetUp() override {
        oldroot = root();
        oldport = port();
        root() = "/srv/www";
        port() = 8080;
    }
    void TearDown() override {
        root() = oldroot;
        port() = oldport;
    }
    std::string oldroot;
    std::uint16_t oldport = 0;
};

std::string row(const std::string& href, const std::string& text) {
    return "<tr><td><a href=\"" + href + "\">" + text + "</a></td></tr>\n";
}

TEST_F(Listing, WorkedExample) {
    std::string want =
        "<html><head><title>/docs/</title><style>\n"
        "table,th,td{border:1px solid black;}</style></head><body>\n"
        "<h2>http://box:8080/docs/</h2>\n"
        "<p><table style=\"width:100%\">\n"
        "<tr><td><a href=\"/docs/..\">..</a></td></tr>\n"
        "<tr><td><a href=\"/docs/A\">A</a></td></tr>\n"
        "<tr><td><a href=\"/docs/b.txt\">b.txt</a></td></tr>\n"
        "<tr><td><a href=\"/docs/sub\">sub</a></td></tr>\n"
        "</table>\n"
        "</body></html>\n";
    EXPECT_EQ(dirpage("/srv/www/box/docs/", {"b.txt", "A", "sub"}), want);
}

TEST_F(Listing, HeadingByPortAndHost) {
    const std::set<std::string> none = {"x"};
    const std::string body = row("/docs/..", "..") + row("/docs/x", "x") + tail;
    port() = 80;
    EXPECT_EQ(dirpage("/srv/www/box/docs/", none),
              head + "/docs/" + style + "<h2>http://box/docs/" + table + body);
    port() = 8080;
    EXPECT_EQ(dirpage("/srv/www/a/docs/", none),
              head + "/docs/" + style + "<h2>Directory of [/docs/]" + table + body);
    // Only the exact name "a" is the fallback site.
    EXPECT_EQ(dirpage("/srv/www/ab/docs/", none),
              head + "/docs/" + style + "<h2>http://ab:8080/docs/" + table + body);
    port() = 65535;
    root() = "";
    EXPECT_EQ(dirpage("/box/docs/", none),
              head + "/docs/" + style + "<h2>http://box:65535/docs/" + table + body);
}

TEST_F(Listing, EmptyFolders) {
    EXPECT_EQ(dirpage("/srv/www/box/sub/", {}),
              head + "/sub/" + style + "<h2>http://box:8080/sub/" + table + row("/sub/..", "..") +
                  "</table>\n<p>This directory is empty!\n</body></html>\n");
    EXPECT_EQ(dirpage("/srv/www/box/", {}),
              head + "/" + style + "<h2>http://box:8080/" + table +
                  "</table>\n<p>This directory is empty!\n</body></html>\n");
    // The top folder has no ".." row even when it holds names.
    EXPECT_EQ(dirpage("/srv/www/box/", {"f"}),
              head + "/" + style + "<h2>http://box:8080/" + table + row("/f", "f") + tail);
}

TEST_F(Listing, ByteOrder) {
    EXPECT_EQ(dirpage("/srv/www/a/", {"a.txt", "a", "B", "\xc3\xa9", "_", "~"}),
              head + "/" + style + "<h2>Directory of [/]" + table + row("/B", "B") + row("/_", "_") +
                  row("/a", "a") + row("/a.txt", "a.txt") + row("/~", "~") +
                  row("/%C3%A9", "\xc3\xa9") + tail);
}

TEST_F(Listing, NamesAndPathEscaped) {
    EXPECT_EQ(dirpage("/srv/www/box/d/", {"<b>", "a&b", "\"q\"", "it's", "x y", "#?%"}),
              head + "/d/" + style + "<h2>http://box:8080/d/" + table + row("/d/..", "..") +
                  row("/d/%22q%22", "&quot;q&quot;") + row("/d/%23%3F%25", "#?%") +
                  row("/d/%3Cb%3E", "&lt;b&gt;") + row("/d/a%26b", "a&amp;b") +
                  row("/d/it%27s", "it&#39;s") + row("/d/x%20y", "x y") + tail);
    EXPECT_EQ(dirpage("/srv/www/box/<a b>&/", {"n"}),
              head + "/&lt;a b&gt;&amp;/" + style + "<h2>http://box:8080/&lt;a b&gt;&amp;/" + table +
                  row("/%3Ca%20b%3E%26/..", "..") + row("/%3Ca%20b%3E%26/n", "n") + tail);
}

class Dirread : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/tavi-list-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override {
        for (const char* n : {"/a.txt", "/B", "/.hide", "/sub/inner", "/sub", "/tosub", "/toa", "/dead"}) {
            std::string p = dir + n;
            if (unlink(p.c_str()) != 0) rmdir(p.c_str());
        }
        rmdir((dir + "/empty").c_str());
        rmdir(dir.c_str());
    }
    void touch(const std::string& name) {
        int fd = open((dir + name).c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0) << name;
        close(fd);
    }
    std::string dir;
};

TEST_F(Dirread, ReadsAllButDotEntriesAndTellsFolders) {
    touch("/a.txt");
    touch("/B");
    touch("/.hide");
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    touch("/sub/inner");
    ASSERT_EQ(symlink("sub", (dir + "/tosub").c_str()), 0);
    ASSERT_EQ(symlink("a.txt", (dir + "/toa").c_str()), 0);
    ASSERT_EQ(symlink("gone", (dir + "/dead").c_str()), 0);
    std::set<std::string> names, dirs;
    ASSERT_TRUE(dirread((dir + "/").c_str(), &names));
    EXPECT_EQ(names, (std::set<std::string>{".hide", "B", "a.txt", "dead", "sub", "toa", "tosub"}));
    names.clear();
    ASSERT_TRUE(dirread(dir.c_str(), &names, &dirs));
    EXPECT_EQ(names.size(), 7u);
    EXPECT_EQ(dirs, (std::set<std::string>{"sub", "tosub"}));
}

TEST_F(Dirread, EmptyAndUnopenable) {
    ASSERT_EQ(mkdir((dir + "/empty").c_str(), 0755), 0);
    touch("/a.txt");
    std::set<std::string> names, dirs;
    EXPECT_TRUE(dirread((dir + "/empty/").c_str(), &names, &dirs));
    EXPECT_FALSE(dirread((dir + "/gone/").c_str(), &names, &dirs));
    EXPECT_FALSE(dirread((dir + "/a.txt").c_str(), &names, &dirs));
    EXPECT_TRUE(names.empty() && dirs.empty());
}

}  // namespace
