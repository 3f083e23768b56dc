#include <cstdio>
#include <cstdlib>
#include <deque>
#include <utility>

#include "dispatch/press.h"
#include "dispatch/probes.h"
#include "output/squeeze.h"
#include "platform/files.h"

namespace {

// Files compressed at once over the turns: each holds a compressor's state
// (some MiB for br), and the rest wait in line, answered as they are, up to
// pressline of them.
const std::size_t pressjobs = 4;
const std::size_t pressline = 1024;
// What one job reads a slice.
const std::int64_t pressslice = 64 * 1024;

// A file on its way: the record it is kept with, open, read up to offs.
struct pressjob {
    std::string key;
    stored file;
    filehand fptr = filenone;
    std::int64_t offs = 0;
    squeeze* work = nullptr;
};

std::deque<pressjob>& jobs() {
    static std::deque<pressjob> q;
    return q;
}

// Files in line for a compressor: their key, name and record.
std::deque<std::pair<std::string, pressjob>>& line() {
    static std::deque<std::pair<std::string, pressjob>> q;
    return q;
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

}  // namespace

std::string tagcoded(const std::string& tag, coding c) {
    return tag.substr(0, tag.size() - 1) + "-" + codingname(c) + "\"";
}

shelf& pressed() {
    static shelf s = [] {
        shelf made;
        made.most = 64 * 1024 * 1024;
        return made;
    }();
    return s;
}

bool pressfits(const statinfo& data, std::int64_t now) {
    // No inode is asked for: where the system gives none by name (Windows),
    // the size, the time and the creation time tell a file's versions apart,
    // the time moving by a second at least with any write after it is kept.
    return statfile(data) && data.st_time + 2 <= now && data.st_size >= pressleast && data.st_size <= pressmostfile;
}

std::string presskey(const std::string& name, coding c) {
    return codingname(c) + std::string(1, '\0') + name;
}

const stored* pressnow(const std::string& name, coding c, stored file) {
    squeeze* z = squeezemake(c);
    std::string out;
    bool done = z && squeezefeed(z, file.body.data(), file.body.size(), true, &out);
    if (z) squeezefree(z);
    if (!done) return nullptr;
    file.body.swap(out);
    file.tag = tagcoded(file.tag, c);
    if (std::int64_t(file.body.size()) <= pressed().most) return shelfput(pressed(), presskey(name, c), std::move(file));
    // Beyond the bound (--zcache 0, say) it is sent, and not kept.
    static stored spare;
    spare = std::move(file);
    return &spare;
}

// Starts the job of name: its file opened, and still the one queued.
void jobstart(const std::string& name, pressjob j) {
    j.work = squeezemake(codingof(j.key));
    statinfo seen;
    j.fptr = j.work ? fileopen(name.c_str(), &seen) : filenone;
    // Another file in its place since it was looked at is left for the next request.
    if (j.fptr == filenone || seen.st_ino != j.file.data.st_ino || seen.st_size != j.file.data.st_size) return jobend(j);
    jobs().push_back(std::move(j));
}

void pressqueue(const std::string& name, coding c, const stored& file) {
    std::string key = presskey(name, c);
    for (const pressjob& j : jobs())
        if (j.key == key) return;
    for (const auto& w : line())
        if (w.second.key == key) return;
    pressjob j;
    j.key = key;
    j.file = file;
    j.file.tag = tagcoded(file.tag, c);
    if (jobs().size() < pressjobs) return jobstart(name, std::move(j));
    if (line().size() < pressline) line().emplace_back(name, std::move(j));
}

bool presswork(std::int64_t budget) {
    std::string piece;
    while (budget > 0 && !jobs().empty()) {
        pressjob& j = jobs().front();
        std::int64_t most = j.file.data.st_size - j.offs < pressslice ? j.file.data.st_size - j.offs : pressslice;
        piece.resize(std::size_t(most));
        long got = most > 0 ? fileread(j.fptr, j.offs, &piece[0], std::size_t(most)) : 0;
        bool last = got >= 0 && j.offs + got == j.file.data.st_size;
        // A file that shrank or failed is not kept: its next request looks again.
        bool good = got >= 0 && (got > 0 || last) && squeezefeed(j.work, piece.data(), std::size_t(got), last, &j.file.body);
        j.offs += got > 0 ? got : 0;
        budget -= got > 0 ? got : 1;
        if (good && !last) {
            // The jobs take turns slice by slice.
            jobs().push_back(std::move(j));
            jobs().pop_front();
            continue;
        }
        if (good && std::int64_t(j.file.body.size()) <= pressed().most) shelfput(pressed(), j.key, std::move(j.file));
        jobend(j);
        jobs().pop_front();
        // The next in line takes the compressor freed.
        while (jobs().size() < pressjobs && !line().empty()) {
            auto next = std::move(line().front());
            line().pop_front();
            jobstart(next.first, std::move(next.second));
        }
    }
    return !jobs().empty();
}
