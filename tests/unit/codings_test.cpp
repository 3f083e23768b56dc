// Choosing a content coding from Accept-Encoding, and its compressor's size
// from the body's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output/squeeze.h"
#include "request/codings.h"

namespace {

TEST(Codings, Codingpick) {
    const unsigned gz = 1u << codegzip, zs = 1u << codezstd, br = 1u << codebr, all = gz | zs | br;
    EXPECT_EQ(codingpick("gzip, br", false, all), codeidentity);
    struct row {
        std::string accept;
        unsigned offered;
        coding want;
    };
    const std::vector<row> rows = {
        {"", all, codeidentity},                          {" , ,", all, codeidentity},
        {"deflate, compress", all, codeidentity},         {"gzip, br", all, codebr},
        {"*", all, codebr},                               {"gzip, br, zstd", gz | zs, codezstd},
        {"br, gzip", gz, codegzip},                       {"gzip;q=1, br;q=0.5", all, codegzip},
        {"zstd;q=1.000, br;q=0.999", all, codezstd},      {"gzip;q=0.5", all, codegzip},
        {"gzip;q=0.5, identity;q=0.6", all, codeidentity}, {"br;q=0, *", all, codezstd},
        {"br;q=0, *;q=0.5", br, codeidentity},            {"identity;q=0", 0, codenone},
        {"identity;q=0, gzip", all, codegzip},            {"*;q=0", all, codenone},
        {"*;q=0, gzip;q=0.001", all, codegzip},           {"*;q=0, identity", all, codeidentity},
        {"*;q=0, gzip", zs, codenone},                    {"gzip, gzip;q=0", all, codegzip},
        {"x-gzip", all, codegzip},                        {"x-gzip;q=0, *", gz, codeidentity},
        {"GZIP;Q=0.5, IDENTITY;q=0.4", all, codegzip},    {"zstd ; q = 0.9 ,br\t;\tq=0.8", all, codezstd},
        {"gzip;q=1.5, br;q=abc, zstd;q=0.1234, identity;q=0", all, codenone},
        {"gzip;q=1.001, br;q=.5, zstd;q=0.999", all, codezstd},
        {"br;level=1, br;q=1;q=1, gzip;q=1.", all, codegzip},
    };
    for (const row& r : rows)
        EXPECT_EQ(codingpick(r.accept, true, r.offered), r.want) << r.accept << " of " << r.offered;
}

TEST(Codings, Squeezesize) {
    struct row {
        coding c;
        std::int64_t size;
        int window, level;
        std::int64_t most;
    };
    const std::vector<row> rows = {
        {codegzip, 0, 9, 2, 12288},          {codegzip, 1024, 10, 3, 16384},
        {codegzip, 1025, 11, 4, 24576},      {codegzip, 100000, 15, 8, 270336},
        {codezstd, 1024, 10, 0, 1574400},    {codezstd, 1 << 20, 20, 0, 3145728},
        {codezstd, 8 << 20, 21, 0, 4718592}, {codebr, 65536, 16, 5, 2490368},
        {codebr, 65537, 17, 5, 2621452},     {codebr, 1 << 20, 20, 5, 7602176},
        {codebr, 8 << 20, 22, 5, 13893632},  {codeidentity, 1 << 20, 0, 0, 0},
    };
    for (const row& r : rows) {
        squeezefit fit = squeezesize(r.c, r.size);
        EXPECT_EQ(std::vector<std::int64_t>({fit.window, fit.level, fit.most}),
                  std::vector<std::int64_t>({r.window, r.level, r.most}))
            << codingname(r.c) << " of " << r.size;
    }
}

}  // namespace
