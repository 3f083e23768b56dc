// What the loop finds by time without a walk of the table: the connections'
// deadlines in a heap, and connections in the order of an event (the most
// silent request first, the oldest lingering close first).
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// A deadline per slot, at most one, in a binary min-heap.
struct dues {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> heap;  // (time, slot)
    std::vector<std::size_t> spot;  // by slot: its place in heap, or duenone
};
const std::size_t duenone = ~std::size_t(0);

// Sets the deadline of slot, or moves it.
void dueset(dues* d, std::uint64_t slot, std::uint64_t time);
// Forgets the deadline of slot, if it has one.
void duedrop(dues* d, std::uint64_t slot);
// The nearest deadline as (time, slot); the heap must not be empty.
std::pair<std::uint64_t, std::uint64_t> duenext(const dues& d);

const std::uint64_t quenone = ~std::uint64_t(0);
// Slots in a line, each at most once, in the order they were put at its end.
struct queue {
    std::vector<std::uint64_t> prev, next;  // by slot; quenone at the ends
    std::uint64_t head = quenone, tail = quenone;
};

// Puts slot at the end of the line, from wherever it was.
void queback(queue* q, std::uint64_t slot);
// Takes slot out of the line, if it is in it.
void quedrop(queue* q, std::uint64_t slot);
