// The certificate store over handshakes in memory: broken pairs left out,
// renewals at their look, and tickets across new keys. The pair a server
// name gets is checked end to end (test_tls).
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <malloc.h>

#include "tls/blocks.h"
#include "tls/certs.h"

namespace {

struct Certs : testing::Test {
    std::string dir = mkdtemp(&(std::string("/tmp/certsXXXXXX") + '\0')[0]);
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
    void run(const std::string& cmd) { ASSERT_EQ(std::system(("cd " + dir + " && " + cmd).c_str()), 0) << cmd; }
    // A self-signed pair whose subject is cn: RSA or ECDSA.
    void pairmake(const std::string& name, const std::string& cn, bool rsa = false) {
        run("mkdir -p " + name + " && openssl req -x509 -nodes -days 2 -subj /CN=" + cn + " -newkey " +
            (rsa ? "rsa:2048" : "ec -pkeyopt ec_paramgen_curve:P-256") + " -keyout " + name + "/privkey.pem -out " +
            name + "/fullchain.pem 2>/dev/null");
    }
};

// The CN the client is shown ("" when the handshake fails); offers ALPN when
// it names the server. A session given is resumed, and *got is the new one.
std::string shake(const char* name, SSL_SESSION* resume = nullptr, bool* reused = nullptr,
                  SSL_SESSION** got = nullptr) {
    SSL_CTX* cctx = SSL_CTX_new(TLS_client_method());
    SSL *c = SSL_new(cctx), *s = SSL_new(certsbase());
    BIO *cb, *sb;
    BIO_new_bio_pair(&cb, 0, &sb, 0);
    SSL_set_bio(c, cb, cb);
    SSL_set_bio(s, sb, sb);
    SSL_set_accept_state(s);
    if (name) SSL_set_tlsext_host_name(c, name), SSL_set_alpn_protos(c, (const unsigned char*)"\2h2\10http/1.1", 12);
    if (resume) SSL_set_session(c, resume);
    int rc = 0, rs = 0;
    for (int k = 0; k < 10 && (rc != 1 || rs != 1); ++k) rc = SSL_connect(c), rs = SSL_do_handshake(s);
    char cn[64] = "", one;
    SSL_read(c, &one, 1);  // takes in the tickets sent after the handshake
    X509* peer = SSL_get1_peer_certificate(c);
    if (rc == 1 && peer) X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, cn, sizeof cn);
    const unsigned char* alpn;
    unsigned alen = 0;
    SSL_get0_alpn_selected(c, &alpn, &alen);
    EXPECT_EQ(std::string((const char*)alpn, alen), name && rc == 1 ? "http/1.1" : "");
    if (reused) *reused = SSL_session_reused(c);
    if (got) *got = SSL_get1_session(c);
    SSL_shutdown(c);  // a session of a connection not shut down would not resume
    X509_free(peer);
    SSL_free(c);
    SSL_free(s);
    SSL_CTX_free(cctx);
    return cn;
}

TEST_F(Certs, SkipsABrokenPairWithOneLine) {
    for (const char* name : {"a", "b", "c", "e"}) pairmake(name, name);
    pairmake("d", "d", true);
    run("echo garbage >b/privkey.pem && cp a/privkey.pem c/ && cp a/privkey.pem d/");
    // A broken block behind a good certificate: the chain is not what was meant.
    run("printf -- '-----BEGIN CERTIFICATE-----\\nbroken\\n-----END CERTIFICATE-----\\n' >>e/fullchain.pem");
    testing::internal::CaptureStderr();
    EXPECT_TRUE(certsload(dir));
    run("echo garbage >a/fullchain.pem");
    EXPECT_FALSE(certsload(dir));
    std::string lines = testing::internal::GetCapturedStderr();
    for (const char* file : {"b/privkey.pem: no usable", "c/privkey.pem: the key does not", "d/privkey.pem: the key",
                             "e/fullchain.pem: no usable", "a/fullchain.pem: no usable"})
        EXPECT_NE(lines.find(dir + "/" + file), std::string::npos) << file << " in " << lines;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 4 + 5);
}

TEST_F(Certs, TakesARenewalAtTheNextLook) {
    pairmake("a", "a");
    pairmake("b", "b1");
    ASSERT_TRUE(certsload(dir));
    certscheck(1000);
    pairmake("b", "b2");
    certscheck(1999);
    EXPECT_EQ(shake("b"), "b1");
    certscheck(2001);
    EXPECT_EQ(shake("b"), "b2");
    // Looks under traffic: a broken renewal is said once, a pair gone once,
    // a folder that cannot be read once, and the last pair's going.
    auto looks = [](std::uint64_t from) {
        testing::internal::CaptureStderr();
        for (std::uint64_t now = from; now < from + 3000; now += 1000) certsnudge(), certscheck(now);
        return testing::internal::GetCapturedStderr();
    };
    run("echo garbage >b/fullchain.pem && rm -r a");
    std::string said = looks(2001);
    EXPECT_EQ(said.substr(0, said.find("/b/fullchain.pem: no usable")), dir + "/a: gone (its pair leaves service)\n" + dir);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
    EXPECT_EQ(shake(nullptr), "b2");  // no "a" now: the first pair by name
    pairmake("c", "c");
    run("mv " + dir + " " + dir + ".away");
    EXPECT_EQ(looks(5002), dir + ": No such file or directory (the pairs loaded before stay in service)\n");
    EXPECT_EQ(shake("c"), "b2");
    ASSERT_EQ(std::system(("mv " + dir + ".away " + dir).c_str()), 0);
    run("rm -r b");
    EXPECT_EQ(looks(8003), dir + "/b: gone (its pair leaves service)\n");
    EXPECT_EQ(shake("c"), "c");
    run("rm -r c");
    EXPECT_EQ(looks(9004), dir + "/c: gone (its pair leaves service)\nNo usable certificate pair (NAME/fullchain.pem "
                               "and NAME/privkey.pem) in " + dir + ": new TLS handshakes fail until one comes.\n");
}

TEST_F(Certs, ResumesByTicketUntilItsKeyIsTwoKeysOld) {
    pairmake("a", "a1");
    ASSERT_TRUE(certsload(dir));
    certscheck(0);
    SSL_SESSION* first = nullptr;
    shake("a", nullptr, nullptr, &first);
    pairmake("a", "a2");  // a new context for the pair, the base's keys still
    const std::uint64_t day = 24 * 3600 * 1000;
    for (auto [now, resumes] : {std::pair{std::uint64_t(2000), true}, {day, true}, {2 * day, false}}) {
        certscheck(now);
        bool reused = !resumes;
        EXPECT_EQ(shake("a", first, &reused), resumes ? "a1" : "a2");
        EXPECT_EQ(reused, resumes) << now;
    }
    SSL_SESSION_free(first);
}

// A block given back, of whatever size realloc left it, comes out again only
// for requests it holds whole.
TEST(Blocks, AGivenBlockServesOnlyWhatItHolds) {
    for (std::size_t size : {1000, 1100, 1279, 7625, 16709, 65600}) {
        blocksgive(malloc(size));
        for (std::size_t n = size - 300; n <= size + 300; n += 7) {
            void* block = blockstake(n);
            ASSERT_GE(malloc_usable_size(block), n) << size;
            blocksgive(block);
        }
    }
}

// However many are given back, a wave's worth, the blocks kept fill their bound and no more.
TEST(Blocks, KeptWithinTheirBound) {
    for (std::size_t k = 0; k < 3 * blocksmost / 16384; ++k) blocksgive(malloc(16384));
    EXPECT_LE(blockskept(), blocksmost);
    EXPECT_GT(blockskept(), blocksmost - 65536);
}

}  // namespace
