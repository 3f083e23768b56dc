// The send step against a socket that takes a little at a time: what each
// send took decides where the next one starts, so the header, the body and a
// long text must arrive whole and in order.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/conn.h"
#include "output/chunks.h"
#include "output/transmit.h"

namespace {

std::string sample(std::size_t n, unsigned seed) {
    std::string t(n, '\0');
    for (std::size_t i = 0; i < n; ++i) t[i] = char((i * 131 + seed + i / 7) & 0xff);
    return t;
}

class Transmit : public ::testing::Test {
protected:
    int ours = -1, theirs = -1;

    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        ours = fds[0];
        theirs = fds[1];
        int small = 2048;
        setsockopt(ours, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        setsockopt(theirs, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        fcntl(ours, F_SETFL, O_NONBLOCK);
        clnts().clear();
        conn c;
        c.desc = SOCKET(ours);
        clnts().push_back(std::move(c));
    }

    void TearDown() override {
        if (!clnts().empty() && clnts()[0].desc) close(ours);
        close(theirs);
        clnts().clear();
    }

    // Turns of the send step, each followed by a small read, until the answer
    // is out; then the rest up to the end. Counts the turns.
    std::string drain(int* turns) {
        std::string got;
        char piece[700];
        for (*turns = 0; *turns < 200000 && !clntlingering(clnts()[0]); ++*turns) {
            clntsend(0);
            long n = long(recv(theirs, piece, sizeof piece, MSG_DONTWAIT));
            if (n > 0) got.append(piece, std::size_t(n));
        }
        for (long n; (n = long(recv(theirs, piece, sizeof piece, 0))) > 0;) got.append(piece, std::size_t(n));
        return got;
    }
};

TEST_F(Transmit, HeaderAndBodyGoOutWholeThroughPartialSends) {
    std::string body = sample(150000, 1);
    char name[] = "/tmp/tavi-transmit-XXXXXX";
    int made = mkstemp(name);
    ASSERT_GE(made, 0);
    ASSERT_EQ(write(made, body.data(), body.size()), long(body.size()));
    close(made);
    statinfo data;
    conn& c = clnts()[0];
    c.fptr = fileopen(name, &data);
    unlink(name);
    ASSERT_NE(c.fptr, filenone);
    c.head = "HTTP/1.1 200 ok\r\nx:" + sample(30000, 2) + "\r\n\r\n";
    std::string head = c.head;
    c.buff = quipnone();
    c.left = data.st_size;
    int turns;
    std::string got = drain(&turns);
    EXPECT_TRUE(got == head + body) << got.size() << " bytes of " << head.size() + body.size();
    EXPECT_GT(turns, 10);
    EXPECT_EQ(clnts()[0].fptr, filenone);
}

TEST_F(Transmit, LongTextGoesOutWholeThroughPartialSends) {
    std::string text = sample(120000, 3);
    clnts()[0].buff = text;
    clnts()[0].left = std::int64_t(text.size());
    clnts()[0].mode = 2;
    int turns;
    EXPECT_TRUE(drain(&turns) == text);
    EXPECT_GT(turns, 10);
}

TEST_F(Transmit, ShortAnswerMustHoldBytes) {
    clnts()[0].buff = quipnone();
    clnts()[0].mode = 1;
    EXPECT_DEATH(clntsend(0), "quipsome\\(quip\\)");
}

}  // namespace
