// Choosing a content coding from Accept-Encoding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
