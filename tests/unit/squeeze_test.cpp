// The codings this build compresses to, and what it makes for each.
#include <gtest/gtest.h>

#include "output/squeeze.h"

namespace {

TEST(Squeeze, Squeezable) {
    for (coding c : {codeidentity, codegzip, codezstd, codebr}) {
        squeeze* z = squeezemake(c);
        EXPECT_EQ(z != nullptr, c != codeidentity && (squeezable() & 1u << c) != 0) << codingname(c);
        squeezefree(z);
    }
    EXPECT_EQ(squeezemake(codenone), nullptr);
    EXPECT_EQ(squeezable() & 1u << codeidentity, 0u);
}

}  // namespace
