// A body squeezed in pieces and read back, for the test of each coding.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "output/squeeze.h"

// Fed in pieces of these sizes, over and over; the one that reaches the end
// is marked last.
inline std::string squeezeall(coding c, const std::string& body, const std::vector<std::size_t>& sizes) {
    squeeze* z = squeezemake(c);
    bool ok = z != nullptr, last = false;
    std::string out;
    std::size_t at = 0;
    for (std::size_t k = 0; ok && !last && k < (body.size() + 1) * sizes.size(); ++k) {
        std::size_t n = std::min(sizes[k % sizes.size()], body.size() - at);
        last = at + n == body.size();
        ok = squeezefeed(z, body.data() + at, n, last, &out);
        at += n;
    }
    EXPECT_TRUE(ok && last) << codingname(c) << " of " << body.size() << " bytes";
    EXPECT_FALSE(z && squeezefeed(z, "", 0, true, &out)) << codingname(c) << ": fed after its end";
    squeezefree(z);
    return out;
}

// unpack reads a body back, given its size, and leaves a note where it cannot.
inline void squeezecheck(coding c, std::string (*unpack)(const std::string& packed, std::size_t size)) {
    std::string noise;  // packs to more than any buffer of the compressor holds
    std::uint32_t x = 1;
    for (int k = 0; k < 300000; ++k) noise.push_back(char((x = x * 1664525u + 1013904223u) >> 24));
    // A 1 MiB listing and a little more, fed whole: more than the compressor
    // takes at once.
    std::string text;
    for (int k = 0; text.size() < (1 << 20) + 1000; ++k)
        text += "<li><a href=\"page" + std::to_string(k % 997) + ".html\">Page " + std::to_string(k % 997) + "</a>\n";
    struct row {
        std::string body;
        std::vector<std::size_t> sizes;
        std::size_t most;  // packed
    };
    const std::vector<row> rows = {{"", {0}, 32},
                                   {"Hello, hello, hello, world.\n", {1, 0}, 64},
                                   {noise, {0, 1, 7, 65536, 99999}, noise.size() + 1024},
                                   {text, {text.size()}, text.size() / 4}};
    for (const row& r : rows) {
        std::string packed = squeezeall(c, r.body, r.sizes);
        EXPECT_TRUE(unpack(packed, r.body.size()) == r.body) << codingname(c) << " of " << r.body.size() << " bytes";
        EXPECT_LE(packed.size(), r.most) << codingname(c) << " of " << r.body.size() << " bytes";
    }
}
