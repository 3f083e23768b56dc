#include <cassert>
#include <utility>

#include "dispatch/probes.h"
#include "dispatch/store.h"

namespace {

// What an entry costs beyond its key and bytes: its nodes and records.
const std::int64_t storeslot = 256;

bool statsame(const statinfo& a, const statinfo& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_time == b.st_time &&
           a.st_nsec == b.st_nsec && a.st_ctns == b.st_ctns;
}

void shelfdrop(shelf& s, decltype(shelf::kept)::iterator k) {
    s.bytes -= storeslot + std::int64_t(k->second.first.body.size() + k->first.size());
    s.order.erase(k->second.second);
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

const stored* shelffind(shelf& s, const std::string& key, const statinfo& data) {
    auto k = s.kept.find(key);
    if (k == s.kept.end()) return nullptr;
    if (!statsame(k->second.first.data, data)) {
        shelfdrop(s, k);
        return nullptr;
    }
    s.order.splice(s.order.begin(), s.order, k->second.second);
    return &k->second.first;
}

const stored* shelfput(shelf& s, const std::string& key, stored file) {
    auto k = s.kept.find(key);
    if (k != s.kept.end()) shelfdrop(s, k);
    std::int64_t size = storeslot + std::int64_t(file.body.size() + key.size());
    while (s.bytes + size > s.most && !s.order.empty()) shelfdrop(s, s.kept.find(s.order.back()));
    s.order.push_front(key);
    s.bytes += size;
    auto made = s.kept.emplace(key, std::make_pair(std::move(file), s.order.begin()));
    return &made.first->second.first;
}

const stored* storefind(const std::string& name, const statinfo& data) {
    return shelffind(bodies(), name, data);
}

const stored* storeput(const std::string& name, stored file) {
    assert(file.data.st_size == std::int64_t(file.body.size()));
    return shelfput(bodies(), name, std::move(file));
}
