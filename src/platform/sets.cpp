#include "platform/sets.h"

void capswant(caps* c, SOCKET s, std::uint64_t tokn, waitfor what) {
    std::size_t k = 0;
    while (k < c->list.size() && c->list[k].tokn != tokn) ++k;
    if (what == waitnone) {
        if (k < c->list.size()) c->list.erase(c->list.begin() + std::ptrdiff_t(k));
    } else if (k < c->list.size()) {
        c->list[k].what = what;
    } else {
        c->list.push_back(capsentry{s, tokn, what});
    }
}

namespace {

// Places the entries that wait for what in set, up to most handles.
void capsplace(const caps* c, waitfor what, sockset* set, unsigned most, std::vector<char>* placed) {
    for (std::size_t k = 0; k < c->list.size(); ++k)
        if (c->list[k].what == what && setsize(set) < most) {
            setadd(set, c->list[k].desc);
            (*placed)[k] = 1;
        }
}

}  // namespace

int capspoll(caps* c, long wait, std::vector<fired>* out, std::vector<std::uint64_t>* left) {
    sockset rset, wset, eset;
    setzero(&rset);
    setzero(&wset);
    setzero(&eset);
    std::vector<char> placed(c->list.size(), 0);
    capsplace(c, waitwrite, &wset, FD_SETSIZE_WIN, &placed);
    capsplace(c, waitread, &rset, waitroom, &placed);
    capsplace(c, waitdrain, &rset, waitroom, &placed);
    capsplace(c, waitlisten, &rset, FD_SETSIZE_WIN, &placed);
    std::int64_t most = 0;
    for (std::size_t k = 0; k < c->list.size(); ++k) {
        const capsentry& e = c->list[k];
        if (std::int64_t(e.desc) + 1 > most) most = std::int64_t(e.desc) + 1;
        // An entry that finds no place is not watched this time, nor for exceptions.
        if (!placed[k]) left->push_back(e.tokn);
        else if (e.what != waitlisten) setadd(&eset, e.desc);
    }
    int rslt = readywait(int(most), &rset, &wset, &eset, wait);
    if (rslt <= 0) return rslt;
    for (std::size_t k = 0; k < c->list.size(); ++k) {
        const capsentry& e = c->list[k];
        if (!placed[k]) continue;
        fired f{e.tokn, setholds(&rset, e.desc), setholds(&wset, e.desc), setholds(&eset, e.desc)};
        if (f.read || f.write || f.fail) out->push_back(f);
    }
    return int(out->size());
}
