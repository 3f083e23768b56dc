// The combined log line and the PROXY header a balancer sends in front.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dispatch/serve.h"
#include "output/combined.h"
#include "request/proxy.h"

namespace {

using namespace std::string_literals;

TEST(Logs, Combined) {
    const unsigned char four[4] = {10, 200, 0, 5};
    EXPECT_EQ(logfour(four), "10.200.0.5");
    EXPECT_EQ(logescape("a\"b\\c\x01\t\x7f\xc3\xa9 ~"), "a\\x22b\\x5Cc\\x01\\x09\\x7F\\xC3\\xA9 ~");
    logged l{"127.0.0.5", "", 1796840644, "GET /a?q HTTP/1.1", 206, 1024, "http://r/\"", "curl/8"};
    EXPECT_EQ(logcombined(l), "127.0.0.5 - - [09/Dec/2026:18:24:04 +0000] \"GET /a?q HTTP/1.1\" 206 1024 "
                              "\"http://r/\\x22\" \"curl/8\"\n");
    EXPECT_EQ(logcombined(logged{"::1", "a:443", 0, "", 400, 0, "", ""}),
              "a:443 ::1 - - [01/Jan/1970:00:00:00 +0000] \"-\" 400 0 \"-\" \"-\"\n");
}

TEST(Logs, Proxyread) {
    const std::string two = "\r\n\r\n\0\r\nQUIT\n"s, four = "\x7f\0\0\x05\x7f\0\0\x01\x15\xb3\0\x50"s;
    const std::string six = "\x20\x01\x0d\xb8"s + std::string(11, '\0') + "\x05" + std::string(20, '\0');
    struct row {
        std::string have;
        veil fate;
        std::size_t took;
        std::string addr;
    };
    const std::vector<row> rows = {
        {"PROXY TCP4 127.0.0.5 127.0.0.1 5555 80\r\nGET", veilfour, 40, "127.0.0.5"},
        {"PROXY TCP6 2001:db8::5 ::1 1 2\r\n", veilsix, 32, "2001:db8::5"},
        {"PROXY TCP6 ::ffff:10.0.0.1 ::1 1 2\r\n", veilfour, 36, "10.0.0.1"},
        {"PROXY UNKNOWN\r\n", veillocal, 15, ""}, {"PROXY UNKNOWN ::1 x\r\n", veillocal, 21, ""},
        {"", veilmore, 0, ""}, {"PROX", veilmore, 0, ""}, {"PROXY TCP4 1.2.3.4 " + std::string(87, '1'), veilmore, 0, ""},
        {"PROXY TCP4 1.2.3.4 " + std::string(88, '1'), veilbad, 0, ""},
        {"PROXY TCP4 1.2.3.4 1.2.3.4 1\r\n", veilbad, 0, ""}, {"PROXY TCP4 1.2.3.4  1.2.3.4 1 2\r\n", veilbad, 0, ""},
        {"PROXY TCP4 1.2.3.256 1.2.3.4 1 2\r\n", veilbad, 0, ""}, {"PROXY TCP4 1.2.3.4 1.2.3.4 65536 2\r\n", veilbad, 0, ""},
        {"PROXY TCP4 ::1 ::1 1 2\r\n", veilbad, 0, ""}, {"PROXY TCP6 1::2::3 ::1 1 2\r\n", veilbad, 0, ""},
        {"PROXY TCP4 1.2.3.4 1.2.3.4 1 2\n", veilbad, 0, ""}, {"proxy TCP4", veilbad, 0, ""},
        {"GET / HTTP/1.1\r\n", veilbad, 0, ""}, {two, veilmore, 0, ""},
        {two + "\x21\x11\0\x0c"s + four + "GET", veilfour, 28, "127.0.0.5"},
        {two + "\x21\x11\0\x0f"s + four + "\x04\0\0"s, veilfour, 31, "127.0.0.5"},
        {two + "\x21\x21\0\x24"s + six, veilsix, 52, "2001:db8::5"},
        {two + "\x20\x11\0\0"s, veillocal, 16, ""}, {two + "\x21\0\0\0"s, veillocal, 16, ""},
        {two + "\x21\x11\0\x0c"s + "\x7f\0"s, veilmore, 0, ""}, {two + "\x11", veilbad, 0, ""},
        {two + "\x21\x11\0\x04\x7f\0\0\x05"s, veilbad, 0, ""}, {two + "\x21\x41\0\0"s, veilbad, 0, ""},
    };
    for (const row& r : rows) {
        proxied p = proxyread(r.have);
        EXPECT_EQ(p.fate, r.fate) << r.have;
        if (r.fate == veilmore || r.fate == veilbad) continue;
        EXPECT_EQ(p.took, r.took) << r.have;
        EXPECT_EQ(r.fate == veilfour ? logfour(reinterpret_cast<unsigned char*>(&p.four))
                  : r.fate == veilsix ? logsix(p.six.data()) : "", r.addr) << r.have;
        // Cut anywhere before its end, a header is one still coming.
        for (std::size_t k = 0; k < r.took; ++k) EXPECT_EQ(proxyread(r.have.substr(0, k)).fate, veilmore) << k;
    }
}

}  // namespace
