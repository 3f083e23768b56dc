#include <gtest/gtest.h>
#include "output/chunks.h"
TEST(Tmp, Compiles) { EXPECT_EQ(boutmake("").size(), 256u); }
