#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <utility>

#include "dispatch/press.h"
#include "dispatch/probes.h"
#include "output/squeeze.h"
#include "platform/files.h"

namespace {

// Files compressed at once over the turns, as the bound leaves room for
// their compressors; the rest wait in line, answered as they are, up to
// pressline of them.
const std::size_t pressjobs = 4;
const std::size_t pressline = 1024;
// What one job reads a slice.
const std::int64_t pressslice = 64 * 1024;
// A file asked for within so many seconds gives way to no compression to
// come: a crowd asking for more than the bound holds would otherwise have
// each of its files compressed only to be thrown away for the next.
const std::int64_t pressfresh = 5;

// A file on its way: the record it is kept with, open, read up to offs; and
// the bytes its compressor was reckoned to hold.
struct pressjob {
    std::string key;
    stored file;
    filehand fptr = filenone;
    std::int64_t offs = 0;
    squeeze* work = nullptr;
    std::int64_t most = 0;
};

std::deque<pressjob>& jobs() {
    static std::deque<pressjob> q;
    return q;
}

// Files in line for a compressor: their name and record.
std::deque<std::pair<std::string, pressjob>>& line() {
    static std::deque<std::pair<std::string, pressjob>> q;
    return q;
}

// What a job holds: its compressor as reckoned, or as counted where that is
// more, and its body as large as the file, or as it has grown.
std::int64_t jobheld(const pressjob& j) {
    std::int64_t work = j.work ? squeezeheld(j.work) : 0;
    std::int64_t body = std::int64_t(j.file.body.capacity());
    return (j.most > work ? j.most : work) + (j.file.data.st_size > body ? j.file.data.st_size : body);
}

void jobscount() {
    pressed().held = 0;
    for (const pressjob& j : jobs()) pressed().held += jobheld(j);
}

void jobend(pressjob& j) {
    if (j.work) squeezefree(j.work);
    if (j.fptr != filenone && fileshut(j.fptr) != 0) {
        perror("close 5");
        exit(1);
    }
}

// The coding of a key of the shelf: its name before the '\0'.
coding codingof(const std::string& key) {
    std::string name = key.substr(0, key.find('\0'));
    for (coding c : {codegzip, codezstd, codebr})
        if (name == codingname(c)) return c;
    return codenone;
}

// What compressing a file of size bytes in c takes of the bound, its body
// reckoned as large as the file.
std::int64_t pressneed(coding c, std::int64_t size) {
    return squeezesize(c, size).most + size;
}

// Whether the bound has room for the job, giving way only files not asked
// for lately.
bool jobroom(const pressjob& j) {
    return shelfroom(pressed(), pressneed(codingof(j.key), j.file.data.st_size),
                     std::int64_t(std::time(nullptr)) - pressfresh);
}

// Starts the job of name: its file opened, and still the one queued.
void jobstart(const std::string& name, pressjob j) {
    coding c = codingof(j.key);
    j.most = squeezesize(c, j.file.data.st_size).most;
    j.work = squeezemake(c, j.file.data.st_size);
    statinfo seen;
    j.fptr = j.work ? fileopen(name.c_str(), &seen) : filenone;
    // Another file in its place since it was looked at is left for the next request.
    if (j.fptr == filenone || seen.st_ino != j.file.data.st_ino || seen.st_size != j.file.data.st_size) return jobend(j);
    jobs().push_back(std::move(j));
    jobscount();
}

// Jobs for the files in line while there is room. One that finds none while
// no compressor works would find none later either: it is dropped, and its
// next request queues it again.
void jobsfill() {
    while (jobs().size() < pressjobs && !line().empty()) {
        auto& next = line().front();
        bool room = jobroom(next.second);
        if (!room && !jobs().empty()) return;
        if (room) jobstart(next.first, std::move(next.second));
        line().pop_front();
    }
}

}  // namespace

std::string tagcoded(const std::string& tag, coding c) {
    return tag.substr(0, tag.size() - 1) + "-" + codingname(c) + "\"";
}

shelf& pressed() {
    static shelf s = [] {
        shelf made;
        made.most = pressbound;
        return made;
    }();
    return s;
}

unsigned pressable(const statinfo& data, std::int64_t now) {
    // No inode is asked for: where the system gives none by name (Windows),
    // the size, the time and the creation time tell a file's versions apart,
    // the time moving by a second at least with any write after it is kept.
    if (!statfile(data) || data.st_time + 2 > now || data.st_size < pressleast || data.st_size > pressmostfile)
        return 0;
    unsigned set = 0;
    for (coding c : {codegzip, codezstd, codebr})
        if (pressneed(c, data.st_size) <= pressed().most) set |= 1u << c;
    return set & squeezable();
}

std::string presskey(const std::string& name, coding c) {
    return codingname(c) + std::string(1, '\0') + name;
}

std::shared_ptr<const stored> pressnow(const std::string& name, coding c, stored file) {
    squeeze* z = squeezemake(c, std::int64_t(file.body.size()));
    std::string out;
    bool done = z && squeezefeed(z, file.body.data(), file.body.size(), true, &out);
    if (z) squeezefree(z);
    if (!done) return nullptr;
    file.body.swap(out);
    file.tag = tagcoded(file.tag, c);
    return shelfput(pressed(), presskey(name, c), std::move(file));
}

void pressqueue(const std::string& name, coding c, const stored& file) {
    std::string key = presskey(name, c);
    for (const pressjob& j : jobs())
        if (j.key == key) return;
    for (const auto& w : line())
        if (w.second.key == key) return;
    if (line().size() >= pressline) return;
    pressjob j;
    j.key = key;
    j.file = file;
    j.file.tag = tagcoded(file.tag, c);
    line().emplace_back(name, std::move(j));
}

bool presswork(std::int64_t usec) {
    auto till = std::chrono::steady_clock::now() + std::chrono::microseconds(usec);
    std::string piece;
    jobsfill();
    while (!jobs().empty()) {
        pressjob& j = jobs().front();
        std::int64_t most = j.file.data.st_size - j.offs < pressslice ? j.file.data.st_size - j.offs : pressslice;
        piece.resize(std::size_t(most));
        long got = most > 0 ? fileread(j.fptr, j.offs, &piece[0], std::size_t(most)) : 0;
        bool last = got >= 0 && j.offs + got == j.file.data.st_size;
        // A file that shrank or failed is not kept: its next request looks again.
        bool good = got >= 0 && (got > 0 || last) && squeezefeed(j.work, piece.data(), std::size_t(got), last, &j.file.body);
        j.offs += got > 0 ? got : 0;
        jobscount();
        // More than was reckoned makes room as any file kept does, or ends the job.
        good = good && shelfroom(pressed(), 0, std::int64_t(std::time(nullptr)) + 1);
        if (good && !last) {
            // The jobs take turns slice by slice.
            jobs().push_back(std::move(j));
            jobs().pop_front();
        } else {
            pressjob done = std::move(j);
            jobs().pop_front();
            jobend(done);
            jobscount();
            if (good) shelfput(pressed(), done.key, std::move(done.file));
            // The next in line takes the compressor freed, in this turn.
            jobsfill();
        }
        if (std::chrono::steady_clock::now() >= till) break;
    }
    return !jobs().empty() || !line().empty();
}
