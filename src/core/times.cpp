#include <cassert>

#include "core/times.h"

namespace {

void dueswap(dues* d, std::size_t a, std::size_t b) {
    std::swap(d->heap[a], d->heap[b]);
    d->spot[d->heap[a].second] = a;
    d->spot[d->heap[b].second] = b;
}

// Moves the entry at k up or down until the heap is in order again.
void duefix(dues* d, std::size_t k) {
    while (k > 0 && d->heap[k].first < d->heap[(k - 1) / 2].first) {
        dueswap(d, k, (k - 1) / 2);
        k = (k - 1) / 2;
    }
    for (;;) {
        std::size_t least = k, kid = 2 * k + 1;
        for (std::size_t c = kid; c < kid + 2 && c < d->heap.size(); ++c)
            if (d->heap[c].first < d->heap[least].first) least = c;
        if (least == k) return;
        dueswap(d, k, least);
        k = least;
    }
}

bool queholds(const queue& q, std::uint64_t slot) {
    return slot < q.next.size() && (q.head == slot || q.prev[slot] != quenone);
}

}  // namespace

void dueset(dues* d, std::uint64_t slot, std::uint64_t time) {
    if (slot >= d->spot.size()) d->spot.resize(slot + 1, duenone);
    std::size_t k = d->spot[slot];
    if (k == duenone) {
        k = d->heap.size();
        d->heap.emplace_back(time, slot);
        d->spot[slot] = k;
    } else if (d->heap[k].first == time) {
        return;
    }
    d->heap[k].first = time;
    duefix(d, k);
}

void duedrop(dues* d, std::uint64_t slot) {
    if (slot >= d->spot.size() || d->spot[slot] == duenone) return;
    std::size_t k = d->spot[slot];
    dueswap(d, k, d->heap.size() - 1);
    d->heap.pop_back();
    d->spot[slot] = duenone;
    if (k < d->heap.size()) duefix(d, k);
}

std::pair<std::uint64_t, std::uint64_t> duenext(const dues& d) {
    assert(!d.heap.empty() && "dues");
    return d.heap.front();
}

void queback(queue* q, std::uint64_t slot) {
    if (slot >= q->next.size()) {
        q->prev.resize(slot + 1, quenone);
        q->next.resize(slot + 1, quenone);
    }
    quedrop(q, slot);
    q->prev[slot] = q->tail;
    if (q->tail != quenone) q->next[q->tail] = slot;
    else q->head = slot;
    q->tail = slot;
}

void quedrop(queue* q, std::uint64_t slot) {
    if (!queholds(*q, slot)) return;
    std::uint64_t p = q->prev[slot], n = q->next[slot];
    if (p != quenone) q->next[p] = n;
    else q->head = n;
    if (n != quenone) q->prev[n] = p;
    else q->tail = p;
    q->prev[slot] = q->next[slot] = quenone;
}
