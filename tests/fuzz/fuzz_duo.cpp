// One HTTP/2 session fed whatever a client sends after the preface, through
// tavi's callbacks and the same dispatch as every request, with no socket:
// what it answers must be whole frames, each within the size a peer takes
// by default, and the connection must end cleanly.
//
// Input: byte 0 cuts the rest in two (at its value, modulo the length): the
// two receives of the client's bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/conn.h"
#include "core/world.h"
#include "dispatch/serve.h"
#include "must.h"
#include "wire/duo.h"

namespace {

// A site of a small file, a large one and a folder, once.
bool sitemake() {
    char dir[] = "/tmp/tavi-fuzz-XXXXXX";
    if (!mkdtemp(dir)) return false;
    root() = dir;
    mkdir((root() + "/a").c_str(), 0700);
    mkdir((root() + "/a/sub").c_str(), 0700);
    std::string big(200000, 'b');
    for (std::size_t k = 0; k < big.size(); k += 7) big[k] = char(k);
    for (auto f : {std::make_pair("/a/x.txt", std::string("x")), std::make_pair("/a/big", big)}) {
        FILE* out = fopen((root() + f.first).c_str(), "wb");
        fwrite(f.second.data(), 1, f.second.size(), out);
        fclose(out);
    }
    web() = true;
    return true;
}

// Whole frames, none over 16384 bytes of payload.
void framesmust(const std::string& wire) {
    std::size_t k = 0;
    while (k < wire.size()) {
        MUST(wire.size() - k >= 9);
        std::size_t size = std::size_t(std::uint8_t(wire[k])) << 16 | std::size_t(std::uint8_t(wire[k + 1])) << 8 |
                           std::uint8_t(wire[k + 2]);
        MUST(size <= 16384);
        k += 9 + size;
        MUST(k <= wire.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool made = sitemake();
    MUST(made);
    if (clnts().empty()) clnts().emplace_back();
    conn& c = clntconn(0);
    // A descriptor that closes without complaint stands in for the socket.
    c.desc = SOCKET(std::int64_t(open("/dev/null", O_RDONLY)));
    c.four = 0x0100007f;
    MUST(duomake(0));
    std::string sent(duopreface);
    if (size > 0) sent.append(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::size_t cut = duoprefsize + (size ? data[0] % size : 0);
    for (std::string part : {sent.substr(0, cut), sent.substr(cut)}) {
        if (!clntconn(0).two || clntconn(0).desc == 0) break;
        if (!part.empty()) duoread(0, part.data(), part.size());
        if (clntconn(0).desc && clntconn(0).two) framesmust(duoframes(0));
    }
    logflush();
    if (clntconn(0).desc) scrap(0);
    MUST(clntconn(0).desc == 0 && !clntconn(0).two);
    return 0;
}
