// The loop's deadline heap and lines, against a plain map driven by the same
// random steps: the nearest deadline, and each line's order.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "core/times.h"

TEST(Times, HeapKeepsTheNearestDeadline) {
    std::mt19937 r(7);
    dues d;
    std::map<std::uint64_t, std::uint64_t> want;  // slot -> time
    for (int step = 0; step < 20000; ++step) {
        std::uint64_t slot = r() % 60;
        if (r() % 3 == 0) {
            duedrop(&d, slot);
            want.erase(slot);
        } else {
            std::uint64_t time = r() % 1000;
            dueset(&d, slot, time);
            want[slot] = time;
        }
        ASSERT_EQ(d.heap.size(), want.size());
        if (want.empty()) continue;
        auto least = want.begin();
        for (auto k = want.begin(); k != want.end(); ++k)
            if (k->second < least->second) least = k;
        ASSERT_EQ(duenext(d).first, least->second);
        ASSERT_EQ(want[duenext(d).second], least->second);
    }
}

TEST(Times, LineKeepsTheOrderOfArrival) {
    queue q;
    for (std::uint64_t s : {5, 2, 9, 2, 7, 5}) queback(&q, s);
    quedrop(&q, 9);
    quedrop(&q, 9);
    quedrop(&q, 40);
    std::vector<std::uint64_t> seen;
    for (std::uint64_t s = q.head; s != quenone; s = q.next[s]) seen.push_back(s);
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{2, 7, 5}));
    for (std::uint64_t s : {2, 7, 5}) quedrop(&q, s);
    EXPECT_EQ(q.head, quenone);
    EXPECT_EQ(q.tail, quenone);
}
