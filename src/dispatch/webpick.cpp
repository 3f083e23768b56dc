#include <cassert>

#include "dispatch/webpick.h"
#include "request/dates.h"
#include "request/kinds.h"
#include "request/tags.h"

bool asksfresh(const asks& a, std::string tag, std::int64_t mtime, std::int64_t now) {
    assert(tagsane(tag));
    // If-None-Match is the finer test: when present, the date is not asked.
    if (!a.match.empty()) return tagmatch(a.match, tag, false);
    std::int64_t since = 0;
    if (a.since.empty() || !dateread(a.since, now, &since)) return false;
    return mtime <= since;
}

bool asksheld(const asks& a, std::string tag, std::int64_t mtime, std::int64_t now) {
    assert(tagsane(tag));
    if (!a.ifmatch.empty()) return tagmatch(a.ifmatch, tag, true);
    std::int64_t since = 0;
    if (a.unsince.empty() || !dateread(a.unsince, now, &since)) return true;
    return mtime <= since;
}

bool asksrange(const asks& a, std::string tag, std::int64_t mtime, std::int64_t now) {
    assert(tagsane(tag));
    if (a.guard.empty()) return true;
    if (a.guard[0] == '"') return a.guard == tag;
    std::int64_t when = 0;
    // Within the second it names, the file may have changed twice.
    return mtime < now && dateread(a.guard, now, &when) && when == mtime;
}

bool namehidden(std::string name) {
    return !name.empty() && name[0] == '.';
}

bool pathhidden(std::string path) {
    assert(cstrbegs(path, "/"));
    std::size_t from = 1;
    if (path == "/.well-known" || cstrbegs(path, "/.well-known/")) from = 13;
    while (from < path.size()) {
        std::size_t upto = path.find('/', from);
        if (upto == std::string::npos) upto = path.size();
        if (path[from] == '.') return true;
        from = upto + 1;
    }
    return false;
}
