// Bodies squeezed in pieces and read back, for the test of each coding.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "output/squeeze.h"

// Each body fed in pieces of its sizes, over and over, the one reaching its end
// marked last; unpack reads it back, given its size, or leaves a note.
inline void squeezecheck(coding c, std::string (*unpack)(const std::string& packed, std::size_t size)) {
    // The build has c, and identity is no compressor.
    EXPECT_TRUE((squeezable() & (1u << c | 1u)) == 1u << c && !squeezemake(codeidentity, 1) && !squeezemake(codenone, 1));
    std::string noise;  // packs to more than any buffer of the compressor holds
    std::uint32_t x = 1;
    for (int k = 0; k < 300000; ++k) noise.push_back(char((x = x * 1664525u + 1013904223u) >> 24));
    // A listing of 1 MiB and a little more, fed whole: more than the compressor takes at once.
    std::string text;
    for (int k = 0; text.size() < (1 << 20) + 1000; ++k)
        text += "<li><a href=\"page" + std::to_string(k % 997) + ".html\">Page " + std::to_string(k % 997) + "</a>\n";
    // Words picked at random, as a script's names are: a match every few
    // bytes, and the most a compressor holds for its commands.
    std::vector<std::string> words(2000);
    for (std::string& w : words)
        for (std::size_t n = 3 + (x = x * 1664525u + 1013904223u) % 8; w.size() < n;)
            w.push_back(char('a' + (x = x * 1664525u + 1013904223u) % 26));
    std::string prose;
    while (prose.size() < (1 << 20)) prose += words[(x = x * 1664525u + 1013904223u) % words.size()] + " (";
    struct row {
        std::string body;
        std::vector<std::size_t> sizes;
        std::size_t most;  // bytes out
    };
    const std::vector<row> rows = {{"", {0}, 32}, {"Hello, hello, hello, world.\n", {1, 0}, 64},
                                   {noise, {0, 1, 7, 65536, 99999}, noise.size() + 1024},
                                   {text, {text.size()}, text.size() / 4}, {prose, {65536}, prose.size() / 2}};
    for (const row& r : rows) {
        squeeze* z = squeezemake(c, std::int64_t(r.body.size()));
        std::string out;
        bool ok = z != nullptr, last = false;
        for (std::size_t k = 0, at = 0; ok && !last && k < (r.body.size() + 1) * r.sizes.size(); ++k) {
            std::size_t n = std::min(r.sizes[k % r.sizes.size()], r.body.size() - at);
            last = at + n == r.body.size();
            ok = squeezefeed(z, r.body.data() + at, n, last, &out);
            at += n;
        }
        // A piece after the last is refused.
        EXPECT_TRUE(ok && last && !squeezefeed(z, "", 0, true, &out)) << codingname(c) << " of " << r.body.size();
        // What its library held, counted, and within what was reckoned for it.
        EXPECT_GT(squeezeheld(z), 0) << codingname(c) << " of " << r.body.size();
        EXPECT_LE(squeezeheld(z), squeezesize(c, std::int64_t(r.body.size())).most) << codingname(c) << " of " << r.body.size();
        squeezefree(z);
        EXPECT_TRUE(unpack(out, r.body.size()) == r.body) << codingname(c) << " of " << r.body.size();
        EXPECT_LE(out.size(), r.most) << codingname(c) << " of " << r.body.size();
    }
}
