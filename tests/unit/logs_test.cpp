// The combined log line and the PROXY header a balancer sends in front.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "dispatch/serve.h"
#include "output/combined.h"
#include "request/proxy.h"

namespace {

using namespace std::string_literals;

TEST(Logs, Combined) {
    EXPECT_EQ(logescape("a\"b\\c\x01\t\x7f\xc3\xa9 ~"), "a\\x22b\\x5Cc\\x01\\x09\\x7F\\xC3\\xA9 ~");
    const unsigned char four[4] = {10, 200, 0, 5};
    EXPECT_EQ(logcombined(logged{logfour(four), "", 1796840644, "GET /a?q HTTP/1.1", 206, 1024, "r\"", "curl/8"}),
              "10.200.0.5 - - [09/Dec/2026:18:24:04 +0000] \"GET /a?q HTTP/1.1\" 206 1024 \"r\\x22\" \"curl/8\"\n");
    EXPECT_EQ(logcombined(logged{"::1", "a:443", 0, "", 400, 0, "", ""}),
              "a:443 ::1 - - [01/Jan/1970:00:00:00 +0000] \"-\" 400 0 \"-\" \"-\"\n");
}

// Each row: the bytes so far, the header's length once whole, and what it comes to: the client's address, ""
// for the balancer's own, or "more" or "bad".
TEST(Logs, Proxyread) {
    const std::string two = "\r\n\r\n\0\r\nQUIT\n"s, four = "\x7f\0\0\x05\x7f\0\0\x01\x15\xb3\0\x50"s, v1 = "PROXY TCP";
    const std::string six = "\x20\x01\x0d\xb8"s + std::string(11, '\0') + "\x05" + std::string(20, '\0');
    const std::vector<std::tuple<std::string, std::size_t, std::string>> rows = {
        {v1 + "4 127.0.0.5 127.0.0.1 5555 80\r\nGET", 40, "127.0.0.5"}, {v1 + "6 2001:db8::5 ::1 1 2\r\n", 32, "2001:db8::5"},
        {v1 + "6 ::ffff:10.0.0.1 ::1 1 2\r\n", 36, "10.0.0.1"}, {"PROXY UNKNOWN\r\n", 15, ""}, {"PROXY UNKNOWN ::1 x\r\n", 21, ""},
        {"", 0, "more"}, {"PROX", 0, "more"}, {v1 + "4 1.2.3.4 " + std::string(87, '1'), 0, "more"},
        {v1 + "4 1.2.3.4 " + std::string(88, '1'), 0, "bad"}, {v1 + "4 1.2.3.4 1.2.3.4 1\r\n", 0, "bad"},
        {v1 + "4 1.2.3.4  1.2.3.4 1 2\r\n", 0, "bad"}, {v1 + "4 1.2.3.256 1.2.3.4 1 2\r\n", 0, "bad"},
        {v1 + "4 1.2.3.4 1.2.3.4 65536 2\r\n", 0, "bad"}, {v1 + "4 ::1 ::1 1 2\r\n", 0, "bad"},
        {v1 + "6 1::2::3 ::1 1 2\r\n", 0, "bad"}, {v1 + "4 1.2.3.4 1.2.3.4 1 2\n", 0, "bad"}, {"proxy TCP4", 0, "bad"},
        {"GET / HTTP/1.1\r\n", 0, "bad"}, {two, 0, "more"}, {two + "\x21\x11\0\x0c"s + four + "GET", 28, "127.0.0.5"},
        {two + "\x21\x11\0\x0f"s + four + "\x04\0\0"s, 31, "127.0.0.5"}, {two + "\x21\x21\0\x24"s + six, 52, "2001:db8::5"},
        {two + "\x20\x11\0\0"s, 16, ""}, {two + "\x21\0\0\0"s, 16, ""}, {two + "\x21\x11\0\x0c\x7f"s, 0, "more"},
        {two + "\x11", 0, "bad"}, {two + "\x21\x11\0\x04\x7f\0\0\x05"s, 0, "bad"}, {two + "\x21\x41\0\0"s, 0, "bad"},
    };
    for (const auto& [have, took, want] : rows) {
        proxied p = proxyread(have);
        std::string got = p.fate == veilmore ? "more" : p.fate == veilbad ? "bad" : p.fate == veillocal ? ""
                          : p.fate == veilsix ? logsix(p.six.data()) : logfour(reinterpret_cast<unsigned char*>(&p.four));
        EXPECT_EQ(got, want) << have;
        if (took == 0) continue;
        EXPECT_EQ(p.took, took) << have;
        // Cut anywhere before its end, a header is one still coming.
        for (std::size_t k = 0; k < took; ++k) EXPECT_EQ(proxyread(have.substr(0, k)).fate, veilmore) << k;
    }
}

}  // namespace
