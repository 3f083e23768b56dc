#include <cassert>
#include <ctime>
#include <utility>

#include "dispatch/probes.h"
#include "dispatch/store.h"

namespace {

// What an entry costs beyond its strings: its nodes and records.
const std::int64_t storeslot = 256;

bool statsame(const statinfo& a, const statinfo& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_time == b.st_time &&
           a.st_nsec == b.st_nsec && a.st_ctns == b.st_ctns;
}

void shelfdrop(shelf& s, decltype(shelf::kept)::iterator k) {
    s.bytes -= k->second.cost;
    s.order.erase(k->second.place);
    s.kept.erase(k);
}

}  // namespace

shelf& bodies() {
    static shelf s = [] {
        shelf made;
        made.most = storemost;
        return made;
    }();
    return s;
}

bool storeaged(const statinfo& data, std::int64_t now) {
    // The time's second and its part both below now less one second.
    return statfile(data) && data.st_ino != 0 && data.st_time + 2 <= now;
}

bool storefits(const statinfo& data, std::int64_t now) {
    return storeaged(data, now) && data.st_size <= storefile;
}

std::shared_ptr<const stored> shelffind(shelf& s, const std::string& key, const statinfo& data) {
    auto k = s.kept.find(key);
    if (k == s.kept.end()) return nullptr;
    if (!statsame(k->second.file->data, data)) {
        shelfdrop(s, k);
        return nullptr;
    }
    s.order.splice(s.order.begin(), s.order, k->second.place);
    k->second.seen = std::int64_t(std::time(nullptr));
    return k->second.file;
}

std::shared_ptr<const stored> shelfput(shelf& s, const std::string& key, stored file) {
    auto k = s.kept.find(key);
    if (k != s.kept.end()) shelfdrop(s, k);
    // What a string grew to as it was made is given back first.
    file.body.shrink_to_fit();
    std::int64_t cost = storeslot + std::int64_t(file.body.capacity() + file.type.capacity() + file.tag.capacity() +
                                                 2 * key.capacity());
    auto made = std::make_shared<const stored>(std::move(file));
    if (!shelfroom(s, cost, std::int64_t(std::time(nullptr)) + 1)) return made;
    s.order.push_front(key);
    s.bytes += cost;
    s.kept.emplace(key, shelved{made, s.order.begin(), std::int64_t(std::time(nullptr)), cost});
    return made;
}

bool shelfroom(shelf& s, std::int64_t need, std::int64_t since) {
    if (need + s.held > s.most) return false;
    while (s.bytes + s.held + need > s.most) {
        auto k = s.kept.find(s.order.back());
        if (k->second.seen >= since) return false;
        shelfdrop(s, k);
    }
    return true;
}

std::shared_ptr<const stored> storefind(const std::string& name, const statinfo& data) {
    return shelffind(bodies(), name, data);
}

std::shared_ptr<const stored> storeput(const std::string& name, stored file) {
    assert(file.data.st_size == std::int64_t(file.body.size()));
    return shelfput(bodies(), name, std::move(file));
}
