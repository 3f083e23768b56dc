// Escaping of names for the listing page: text for HTML, paths for links.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "output/escape.h"

namespace {

TEST(Escape, Html) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"", ""},           {"plain-name_1.txt", "plain-name_1.txt"},
        {"&", "&amp;"},     {"<b>", "&lt;b&gt;"},
        {"\"q\"", "&quot;q&quot;"}, {"it's", "it&#39;s"},
        {"&amp;", "&amp;amp;"},
        {"a b#?%/\\", "a b#?%/\\"},
        {"<&\"'>", "&lt;&amp;&quot;&#39;&gt;"},
        {"\xc3\xa9", "\xc3\xa9"},
    };
    for (const auto& [in, out] : rows) EXPECT_EQ(htmlescape(in), out) << in;
}

TEST(Escape, HrefTable) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"", ""},
        {"/docs/b.txt", "/docs/b.txt"},
        {"/AZaz09-._~/", "/AZaz09-._~/"},
        {"/a b", "/a%20b"},
        {"#?%&", "%23%3F%25%26"},
        {"<\">'", "%3C%22%3E%27"},
        {"a\\b", "a%5Cb"},
        {"\xc3\xa9", "%C3%A9"},
        {"+:;=@!$", "%2B%3A%3B%3D%40%21%24"},
    };
    for (const auto& [in, out] : rows) EXPECT_EQ(hrefencode(in), out) << in;
}

// Every byte: exactly 67 are kept, every other becomes its own three bytes.
TEST(Escape, HrefEveryByte) {
    static const char hex[] = "0123456789ABCDEF";
    int kept = 0;
    for (int b = 0; b < 256; ++b) {
        std::string one(1, char(b));
        std::string got = hrefencode(one);
        if (got == one) {
            ++kept;
            continue;
        }
        EXPECT_EQ(got, (std::string{'%', hex[b >> 4], hex[b & 15]})) << "byte " << b;
    }
    EXPECT_EQ(kept, 26 + 26 + 10 + 5);
}

}  // namespace
