// Choosing a content coding from Accept-Encoding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "request/codings.h"

namespace {

TEST(Codings, Codingpick) {
    const unsigned all = 1u << codegzip | 1u << codezstd | 1u << codebr;
    const unsigned nobr = 1u << codegzip | 1u << codezstd;
    struct row {
        std::string accept;
        bool present;
        unsigned offered;
        coding want;
    };
    const std::vector<row> rows = {
        {"gzip, br", false, all, codeidentity},          {"", true, all, codeidentity},
        {" , ,", true, all, codeidentity},                {"gzip, br", true, all, codebr},
        {"gzip, br, zstd", true, nobr, codezstd},         {"gzip;q=1, br;q=0.5", true, all, codegzip},
        {"br;q=0, *", true, all, codezstd},               {"br;q=0, *;q=0.5", true, 1u << codebr, codeidentity},
        {"identity;q=0", true, 0, codenone},              {"identity;q=0, gzip", true, all, codegzip},
        {"*;q=0", true, all, codenone},                   {"*;q=0, gzip;q=0.001", true, all, codegzip},
        {"*;q=0, gzip", true, nobr & ~(1u << codegzip), codenone},
        {"*;q=0, identity", true, all, codeidentity},     {"x-gzip", true, all, codegzip},
        {"x-gzip;q=0, *", true, 1u << codegzip, codeidentity},
        {"GZIP;Q=0.5, IDENTITY;q=0.4", true, all, codegzip},
        {"zstd ; q = 0.9 ,br\t;\tq=0.8", true, all, codezstd},
        {"gzip;q=0.5", true, all, codegzip},              {"gzip;q=0.5, identity;q=0.6", true, all, codeidentity},
        {"gzip;q=1.5, identity;q=0", true, all, codenone},
        {"gzip;q=abc, identity;q=0", true, all, codenone},
        {"gzip;q=0.1234, identity;q=0", true, all, codenone},
        {"gzip;q=1.001, br;q=.5, zstd;q=0.999", true, all, codezstd},
        {"br;level=1, br;q=1;q=1, gzip;q=1.", true, all, codegzip},
        {"gzip, gzip;q=0", true, all, codegzip},          {"br, gzip", true, 1u << codegzip, codegzip},
        {"deflate, compress", true, all, codeidentity},   {"*", true, all, codebr},
          {"zstd;q=1.000, br;q=0.999", true, all, codezstd},
    };
    for (const row& r : rows)
        EXPECT_EQ(codingpick(r.accept, r.present, r.offered), r.want) << r.accept << " of " << r.offered;
}

TEST(Codings, NameAndExt) {
    struct row {
        coding c;
        std::string name, ext;
    };
    const std::vector<row> rows = {{codebr, "br", ".br"}, {codezstd, "zstd", ".zst"}, {codegzip, "gzip", ".gz"},
                                   {codeidentity, "identity", ""}, {codenone, "", ""}};
    for (const row& r : rows) EXPECT_TRUE(codingname(r.c) == r.name && codingext(r.c) == r.ext) << r.name;
}

}  // namespace
