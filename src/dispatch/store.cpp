#include <cassert>
#include <list>
#include <map>
#include <utility>

#include "dispatch/probes.h"
#include "dispatch/store.h"

namespace {

// What an entry costs beyond its name and bytes: its nodes and records.
const std::int64_t storeslot = 256;

struct storage {
    // Names, the one asked for most lately first; each entry knows its place.
    std::list<std::string> order;
    std::map<std::string, std::pair<stored, std::list<std::string>::iterator>> kept;
    std::int64_t bytes = 0;
};

storage& store() {
    static storage s;
    return s;
}

bool statsame(const statinfo& a, const statinfo& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_time == b.st_time &&
           a.st_nsec == b.st_nsec && a.st_ctns == b.st_ctns;
}

void storedrop(storage& s, std::map<std::string, std::pair<stored, std::list<std::string>::iterator>>::iterator k) {
    s.bytes -= storeslot + std::int64_t(k->second.first.body.size() + k->first.size());
    s.order.erase(k->second.second);
    s.kept.erase(k);
}

}  // namespace

bool storefits(const statinfo& data, std::int64_t now) {
    // The time's second and its part both below now less one second.
    return statfile(data) && data.st_ino != 0 && data.st_size <= storefile && data.st_time + 2 <= now;
}

const stored* storefind(const std::string& name, const statinfo& data) {
    storage& s = store();
    auto k = s.kept.find(name);
    if (k == s.kept.end()) return nullptr;
    if (!statsame(k->second.first.data, data)) {
        storedrop(s, k);
        return nullptr;
    }
    s.order.splice(s.order.begin(), s.order, k->second.second);
    return &k->second.first;
}

const stored* storeput(const std::string& name, stored file) {
    assert(file.data.st_size == std::int64_t(file.body.size()));
    storage& s = store();
    auto k = s.kept.find(name);
    if (k != s.kept.end()) storedrop(s, k);
    std::int64_t size = storeslot + std::int64_t(file.body.size() + name.size());
    while (s.bytes + size > storemost && !s.order.empty()) storedrop(s, s.kept.find(s.order.back()));
    s.order.push_front(name);
    s.bytes += size;
    auto made = s.kept.emplace(name, std::make_pair(std::move(file), s.order.begin()));
    return &made.first->second.first;
}
