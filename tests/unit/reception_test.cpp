// Reception, driven through clntfeed on a bare record: no socket is needed to
// see what a run of client bytes makes of a connection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/conn.h"
#include "output/chunks.h"
#include "request/reception.h"

namespace {

const char* feedname(feed f) {
    switch (f) {
    case feedmore: return "feedmore";
    case feedbadbyte: return "feedbadbyte";
    case feedbadline: return "feedbadline";
    case feedbadpart: return "feedbadpart";
    case feedanswer: return "feedanswer";
    case feedhost: return "feedhost";
    }
    return "?";
}

struct outcome {
    feed f = feedmore;
    conn c;
};

outcome whole(const std::string& in) {
    outcome o;
    o.f = clntfeed(o.c, in.data(), in.size());
    return o;
}

// The loop stops feeding a record once a feed has decided something.
outcome split(const std::string& in, std::size_t at) {
    outcome o;
    o.f = clntfeed(o.c, in.data(), at);
    if (o.f == feedmore) o.f = clntfeed(o.c, in.data() + at, in.size() - at);
    return o;
}

outcome bytewise(const std::string& in) {
    outcome o;
    for (std::size_t i = 0; i < in.size() && o.f == feedmore; ++i)
        o.f = clntfeed(o.c, in.data() + i, 1);
    return o;
}

::testing::AssertionResult same(const outcome& a, const outcome& b) {
    if (a.f == b.f && a.c.rqst == b.c.rqst && a.c.buff == b.c.buff &&
        a.c.head == b.c.head && a.c.mode == b.c.mode && a.c.fptr == b.c.fptr &&
        a.c.desc == b.c.desc)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << feedname(a.f) << " vs " << feedname(b.f) << ", rqst \"" << a.c.rqst
           << "\" vs \"" << b.c.rqst << "\", buff size " << a.c.buff.size() << " vs "
           << b.c.buff.size() << ", head \"" << a.c.head << "\" vs \"" << b.c.head << '"';
}

const std::string get = "GET / HTTP/1.1\r\n";

struct row {
    const char* name;
    std::string in;
    feed want;
    std::string rqst, buff, head;
};

// One row per way a receive can end, with what the record holds after it.
// Trailing bytes after the deciding one are there to show they are left alone.
const std::vector<row>& rows() {
    const std::string answer400 = boutmake("HTTP/1.1 400 bad_request\r\n");
    static const std::vector<row> r = {
        {"host dispatches at once", get + "Host: a\r\n\r\nGET /x", feedhost, get, "",
         "host: a\r\n"},
        {"header bytes lowered, request line not", "GET /A HTTP/1.1\r\nHOST: A.B:81\r\nX",
         feedhost, "GET /A HTTP/1.1\r\n", "", "host: a.b:81\r\n"},
        {"other links skipped", get + "X-Y: Z\r\nHost: a\r\n", feedhost, get, "",
         "host: a\r\n"},
        {"no host before blank line", get + "x: y\r\n\r\nHost: a\r\n", feedanswer, get,
         answer400, ""},
        {"blank line right after request line", get + "\r\n", feedanswer, get, answer400,
         ""},
        {"blank first line", "\r\n" + get, feedbadline, "", "\r\n", ""},
        {"malformed request line", "GET  / HTTP/1.1\r\nHost: a\r\n", feedbadpart,
         "GET  / HTTP/1.1\r\n", "", ""},
        {"request line not lowered before check", "GET HTTP://a/b HTTP/1.1\r\nHost: a\r\n",
         feedbadpart, "GET HTTP://a/b HTTP/1.1\r\n", "", ""},
        {"bare CR in request line", "GET / HTTP/1.1\r\r\nHost: a\r\n", feedbadpart,
         "GET / HTTP/1.1\r\r\n", "", ""},
        {"lower-case method accepted", "get http://a/b HTTP/1.1\r\nX", feedmore,
         "get http://a/b HTTP/1.1\r\n", "x", ""},
        {"empty link value", get + "Host:\r\nHost: a\r\n", feedbadline, get, "", ""},
        {"leading blank in link", get + " Host: a\r\nHost: a\r\n", feedbadline, get, "", ""},
        {"link without colon", get + "hosta\r\nHost: a\r\n", feedbadline, get, "", ""},
        {"control byte in request line", "GET /\x01 HTTP/1.1\r\n", feedbadbyte, "", "GET /",
         ""},
        {"high byte in request line", "GET /\xc8 HTTP/1.1\r\n", feedbadbyte, "", "GET /", ""},
        {"tab in header line", get + "Host:\ta\r\n", feedbadbyte, get, "host:", ""},
        {"DEL in header line", get + "Host: a\x7f\r\n", feedbadbyte, get, "host: a", ""},
        {"bare LF never ends a line", "GET / HTTP/1.1\nHost: a\n\n", feedmore, "",
         "GET / HTTP/1.1\nHost: a\n\n", ""},
        {"line waits for its end", get + "Ho", feedmore, get, "ho", ""},
        {"nothing yet", "", feedmore, "", "", ""},
    };
    return r;
}

TEST(Reception, EachWayAReceiveEnds) {
    for (const auto& r : rows()) {
        outcome o = whole(r.in);
        EXPECT_EQ(o.f, r.want) << r.name << ": got " << feedname(o.f);
        EXPECT_EQ(o.c.rqst, r.rqst) << r.name;
        EXPECT_EQ(o.c.buff, r.buff) << r.name;
        EXPECT_EQ(o.c.head, r.head) << r.name;
        EXPECT_EQ(o.c.mode, r.want == feedanswer ? 1 : 0) << r.name;
        EXPECT_EQ(o.c.fptr, filenone) << r.name;
    }
}

TEST(Reception, AnswerIsTheBare400Chunk) {
    outcome o = whole(get + "Accept: x\r\n\r\n");
    ASSERT_EQ(o.f, feedanswer);
    EXPECT_EQ(o.c.buff, boutmake("HTTP/1.1 400 bad_request\r\n"));
    EXPECT_EQ(o.c.buff.size(), 256u);
    EXPECT_EQ(o.c.mode, 1);
}

TEST(Reception, SplitAnywhereMatchesWhole) {
    for (const auto& r : rows()) {
        outcome w = whole(r.in);
        for (std::size_t at = 0; at <= r.in.size(); ++at)
            EXPECT_TRUE(same(split(r.in, at), w)) << r.name << " split at " << at;
        EXPECT_TRUE(same(bytewise(r.in), w)) << r.name << " byte by byte";
    }
}

TEST(Reception, BareLfKeepsAccumulating) {
    outcome o;
    std::string in = "GET / HTTP/1.1\n";
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(clntfeed(o.c, in.data(), in.size()), feedmore);
        ASSERT_TRUE(o.c.rqst.empty());
    }
    EXPECT_EQ(o.c.buff.size(), 50 * in.size());
}

// Lines of exactly n bytes, terminator included.
std::string longpart(std::size_t n) { return "GET /" + std::string(n - 16, 'a') + " HTTP/1.1\r\n"; }
std::string longlink(const std::string& name, std::size_t n) {
    return name + ": " + std::string(n - name.size() - 4, 'v') + "\r\n";
}

TEST(Reception, RequestLineBound) {
    ASSERT_EQ(longpart(linemost).size(), 8192u);
    outcome ok = whole(longpart(8192) + "Host: a\r\n");
    EXPECT_EQ(ok.f, feedhost);
    EXPECT_EQ(ok.c.rqst, longpart(8192));

    // The final LF would be byte 8193: it is refused, and not taken.
    std::string over = longpart(8193);
    outcome no = whole(over);
    EXPECT_EQ(no.f, feedbadline);
    EXPECT_EQ(no.c.buff, over.substr(0, 8192));
    EXPECT_TRUE(no.c.rqst.empty());
    EXPECT_TRUE(same(bytewise(over), no));
}

TEST(Reception, UnendedLineBound) {
    std::string run(8192, 'a');
    EXPECT_EQ(whole(run).f, feedmore);
    outcome no = whole(run + "a\r\n");
    EXPECT_EQ(no.f, feedbadline);
    EXPECT_EQ(no.c.buff, run);
}

TEST(Reception, HeaderLineBound) {
    // The bound is per line: a full-length request line leaves a header line
    // its own full length.
    std::string top = longpart(8192);
    outcome ok = whole(top + longlink("x", 8192) + "Host: a\r\n");
    EXPECT_EQ(ok.f, feedhost);
    EXPECT_EQ(ok.c.head, "host: a\r\n");

    outcome host = whole(top + longlink("Host", 8192));
    EXPECT_EQ(host.f, feedhost);
    EXPECT_EQ(host.c.head.size(), 8192u);

    std::string over = longlink("x", 8193);
    outcome no = whole(top + over + "Host: a\r\n");
    EXPECT_EQ(no.f, feedbadline);
    EXPECT_EQ(no.c.buff, over.substr(0, 8192));
    EXPECT_TRUE(no.c.head.empty());
    EXPECT_TRUE(same(split(top + over, top.size() + 8000), no));
}

}  // namespace

TEST(Reception, RestwholeOnlyForABlockThatEnds) {
    // Blank lines before a request are skipped: their line ends end nothing.
    const std::pair<std::string, bool> rows[] = {
        {"GET / HTTP/1.0\r\n\r\n", true},      {"GET / HTTP/1.1\nHost: a\n\n", true},
        {"\r\n\nGET / HTTP/1.1\r\n\r\n", true}, {"\r\n\r\nGET / HTTP/1.1\r\n", false},
        {"GET / HTTP/1.1\r\nHost: a\r\n", false}, {"GET / HTTP/1.1\r\n\r", false},
        {"\n\n\r\n", false},                      {"", false},
    };
    for (const auto& r : rows) EXPECT_EQ(restwhole(r.first), r.second) << r.first;
}
