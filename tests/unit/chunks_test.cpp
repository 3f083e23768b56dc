// Output chunks: the count byte is the only thing the sender trusts, so every
// length and every partial send must leave it and the data in step.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "output/chunks.h"

namespace {

// Data that includes NULs and high bytes, so filler cannot pass for data.
std::string sample(std::size_t n) {
    std::string t(n, '\0');
    for (std::size_t i = 0; i < n; ++i) t[i] = char((i * 37 + n) & 0xff);
    return t;
}

TEST(Chunks, NulsLengthAndContent) {
    for (std::uint64_t n : {0, 1, 2, 3, 4, 5, 127, 128, 255, 256}) {
        std::string z = nuls(n);
        EXPECT_EQ(z.size(), n);
        EXPECT_EQ(z, std::string(n, '\0')) << n;
    }
}

TEST(Chunks, Lg2floorAndPowbelow) {
    const std::vector<std::pair<std::uint64_t, int>> lg = {
        {1, 0}, {2, 1}, {3, 1}, {4, 2}, {5, 2}, {255, 7}, {256, 8}, {257, 8},
        {std::uint64_t(1) << 63, 63}, {~std::uint64_t(0), 63},
    };
    for (auto [n, b] : lg) EXPECT_EQ(lg2floor(n), b) << n;
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> pw = {
        {2, 1}, {3, 2}, {4, 2}, {5, 4}, {255, 128}, {256, 128}, {257, 256},
    };
    for (auto [n, p] : pw) EXPECT_EQ(powbelow(n), p) << n;
}

TEST(Chunks, CstrcharAndBlanks) {
    EXPECT_EQ(cstrchar(0), std::string(1, '\0'));
    EXPECT_EQ(cstrchar(200), std::string(1, char(200)));
    EXPECT_EQ(boutnone(), std::string(256, '\0'));
    EXPECT_EQ(quipnone(), std::string(256, '\0'));
    EXPECT_EQ(boutsize(boutnone()), 0);
    EXPECT_FALSE(quipsome(quipnone()));
    EXPECT_TRUE(boutsane(boutnone()));
    EXPECT_FALSE(boutsane(std::string(255, '\0')));
    EXPECT_FALSE(quipsane(std::string(257, '\0')));
}

TEST(Chunks, BoutmakeEdges) {
    EXPECT_EQ(boutmake(""), std::string(256, '\0'));
    std::string full(255, 'x');
    std::string u = boutmake(full);
    EXPECT_EQ(u, full + char(255));  // no room for filler
    EXPECT_EQ(boutsize(u), 255);
    EXPECT_EQ(quipsize(u), 255);
    EXPECT_TRUE(quipsome(u));
    EXPECT_EQ(boutmake("abc"), "abc" + std::string(252, '\0') + char(3));
}

TEST(Chunks, BoutdropEdges) {
    std::string u = boutmake("hello");
    EXPECT_EQ(boutdrop(u, 0), u);
    EXPECT_EQ(boutdrop(u, 5), boutnone());
    EXPECT_EQ(boutdrop(u, 2), boutmake("llo"));
}

TEST(Chunks, BoutdropClearsJunkFiller) {
    std::string u = boutmake("hello");
    for (std::size_t i = 5; i < 255; ++i) u[i] = 'J';
    EXPECT_EQ(boutdrop(u, 0), boutmake("hello"));
    EXPECT_EQ(boutdrop(u, 2), boutmake("llo"));
    EXPECT_EQ(boutdrop(u, 5), boutnone());
}

TEST(Chunks, MakeThenDropEveryLengthAndCount) {
    for (std::size_t n = 0; n < 256; ++n) {
        std::string t = sample(n);
        std::string u = boutmake(t);
        ASSERT_TRUE(boutsane(u)) << n;
        ASSERT_EQ(boutsize(u), n);
        ASSERT_EQ(u.substr(0, n), t);
        ASSERT_EQ(u.substr(n, 255 - n), std::string(255 - n, '\0')) << n;
        for (std::size_t s = 0; s <= n; ++s)
            ASSERT_EQ(boutdrop(u, std::int64_t(s)), boutmake(t.substr(s))) << n << ' ' << s;
    }
}

using ChunksDeathTest = ::testing::Test;

TEST_F(ChunksDeathTest, BoutmakeRefusesTooLong) {
    EXPECT_DEATH(boutmake(std::string(256, 'x')), "s<256");
}

TEST_F(ChunksDeathTest, BoutdropRefusesBadCounts) {
    std::string u = boutmake("hello");
    EXPECT_DEATH(boutdrop(u, 6), "s<=t");
    EXPECT_DEATH(boutdrop(boutnone(), 1), "s<=t");
    EXPECT_DEATH(boutdrop(u, -1), "s>=0");
    EXPECT_DEATH(boutdrop(std::string(255, '\0'), 0), "boutsane");
}

}  // namespace
