#include "dispatch/serve.h"
#include "core/conn.h"
#include "output/chunks.h"

// Until sites are served, every request that reaches dispatch is answered
// as a missing file.
void clntserv(std::uint64_t i) {
    conn& c = clntconn(i);
    c.buff = boutmake("HTTP/1.1 404 no_such_file\r\n\r\nNo such file.");
    c.mode = 1;
}
