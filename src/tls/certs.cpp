// The certificate store on OpenSSL 3.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include "platform/files.h"
#include "tls/blocks.h"
#include "tls/certs.h"

namespace {

// TLS 1.2 with forward secrecy and AEAD only (Mozilla's "intermediate");
// TLS 1.3 keeps OpenSSL's own suites.
const char* const ciphers12 =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
const char* const groups = "X25519:P-256:P-384";

// The protocols ALPN may select, in the server's order of preference and in
// the wire's form (each after its length): h2 first where it is served.
const unsigned char alpnone[] = "\x08http/1.1";
const unsigned char alpntwo[] = "\x02h2\x08http/1.1";
bool alpnh2 = false;

// A pem file is a few KiB: anything much larger is not one.
const std::int64_t pemmost = 1 << 20;
const std::uint64_t lookgap = 1000;
const std::uint64_t keylife = 24 * 3600 * 1000;

struct certpair {
    // The status of both files when last loaded or tried: a new value means
    // a new version, and a broken version is reported once, not every second.
    std::vector<std::int64_t> seen;
    // In service; null while no version of the pair has loaded.
    SSL_CTX* ctx = nullptr;
};

// A key of session tickets: its name travels in the ticket, so the key that
// sealed a ticket is found again.
struct ticketkey {
    unsigned char name[16];
    unsigned char aes[32];
    unsigned char mac[32];
};

struct certstore {
    std::string dir;
    std::map<std::string, certpair> pairs;
    SSL_CTX* base = nullptr;
    // keys[0] seals new tickets; keys[1], the one before, still opens the
    // tickets it sealed, so a ticket outlives one change of key.
    ticketkey keys[2];
    bool looked = false;
    std::uint64_t lookat = 0;
    bool lost = false;  // the folder could not be read at the last look: said once
    bool keyed = false;
    std::uint64_t keyat = 0;
};

// Never destroyed: the contexts last as long as the process, and freeing
// them at exit would come after OpenSSL's own clean-up.
certstore& store() {
    static certstore* s = new certstore;
    return *s;
}

volatile std::sig_atomic_t nudged = 0;

// OpenSSL's reason for the latest failure after a text of ours.
std::string sslwhy(const std::string& what) {
    const char* why = ERR_reason_error_string(ERR_peek_last_error());
    return why ? what + " (" + why + ")" : what;
}

// An encrypted key is not for an unattended server: asking for its
// passphrase would wait on the terminal.
int nopass(char*, int, int, void*) {
    return -1;
}

// The text of a pem file; false with the file and the reason. Only a regular
// file is opened, and without waiting: a FIFO in its place cannot hold up
// the server.
bool pemread(const std::string& path, std::string* text, std::string* why) {
    statinfo data;
    filehand file = fileopen(path.c_str(), &data);
    if (file == filenone) {
        bool plain = data.st_mode == 0 || (data.st_mode & _S_IFMT) == _S_IFREG;
        *why = path + ": " + (plain ? strerror(errno) : "not a regular file");
        return false;
    }
    bool big = data.st_size > pemmost;
    text->assign(big ? 0 : std::size_t(data.st_size), '\0');
    std::size_t got = 0;
    long n = 1;
    while (got < text->size() && (n = fileread(file, std::int64_t(got), &(*text)[got], text->size() - got)) > 0)
        got += std::size_t(n);
    int err = errno;
    fileshut(file);
    text->resize(got);
    if (big) *why = path + ": larger than 1 MiB";
    if (n < 0) *why = path + ": " + strerror(err);
    return !big && n >= 0;
}

int alpnpick(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in, unsigned inlen,
             void*) {
    unsigned char* pick = nullptr;
    const unsigned char* list = alpnh2 ? alpntwo : alpnone;
    unsigned size = alpnh2 ? sizeof alpntwo - 1 : sizeof alpnone - 1;
    if (SSL_select_next_proto(&pick, outlen, list, size, in, inlen) != OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_ALERT_FATAL;
    *out = pick;
    return SSL_TLSEXT_ERR_OK;
}

// A context with the settings of every connection and no pair yet. The
// connection starts on the base context and moves to its pair's, which then
// answers ALPN, so each context has them all.
SSL_CTX* ctxmake() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) return nullptr;
    bool good = SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
                SSL_CTX_set_cipher_list(ctx, ciphers12) == 1 && SSL_CTX_set1_groups_list(ctx, groups) == 1 &&
                SSL_CTX_set_max_early_data(ctx, 0) == 1;
    // Resumption by tickets alone: a cache of sessions would grow with the
    // clients, and the ticket keys are those of the base context.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    // One ticket after a full handshake, not OpenSSL's two: clients keep the
    // latest ticket of a server, and each costs a sealed session and a send.
    SSL_CTX_set_num_tickets(ctx, 1);
    // Idle keep-alive connections then hold no read and write buffers. The
    // chain is fullchain.pem's as it is: none is built from a store of
    // authorities at each handshake.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_NO_AUTO_CHAIN);
    SSL_CTX_set_alpn_select_cb(ctx, alpnpick, nullptr);
    if (good) return ctx;
    SSL_CTX_free(ctx);
    return nullptr;
}

// The certificate and the chain after it, as fullchain.pem holds them.
bool chainuse(SSL_CTX* ctx, const std::string& text) {
    BIO* bio = BIO_new_mem_buf(text.data(), int(text.size()));
    X509* cert = bio ? PEM_read_bio_X509_AUX(bio, nullptr, nopass, nullptr) : nullptr;
    bool good = cert && SSL_CTX_use_certificate(ctx, cert) == 1;
    X509_free(cert);
    while (good) {
        X509* next = PEM_read_bio_X509(bio, nullptr, nopass, nullptr);
        if (!next) break;
        good = SSL_CTX_add0_chain_cert(ctx, next) == 1;
        if (!good) X509_free(next);
    }
    BIO_free(bio);
    // The end of the text is reported as a missing start line: any other
    // failure is a broken certificate in the chain.
    unsigned long last = ERR_peek_last_error();
    bool ended = ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE;
    if (good && ended) ERR_clear_error();
    return good && ended;
}

EVP_PKEY* keyread(const std::string& text) {
    BIO* bio = BIO_new_mem_buf(text.data(), int(text.size()));
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nopass, nullptr) : nullptr;
    BIO_free(bio);
    return key;
}

// A new context of the pair DIR/NAME; null with the file and the reason.
SSL_CTX* pairload(const std::string& name, std::string* why) {
    std::string at = store().dir + "/" + name + "/", chain, text;
    if (!pemread(at + "fullchain.pem", &chain, why) || !pemread(at + "privkey.pem", &text, why)) return nullptr;
    ERR_clear_error();
    SSL_CTX* ctx = ctxmake();
    EVP_PKEY* key = nullptr;
    if (!ctx)
        *why = at + "fullchain.pem: " + sslwhy("no TLS context");
    else if (!chainuse(ctx, chain))
        *why = at + "fullchain.pem: " + sslwhy("no usable certificate");
    else if (!(key = keyread(text)))
        *why = at + "privkey.pem: " + sslwhy("no usable private key");
    else if (SSL_CTX_use_PrivateKey(ctx, key) != 1 || SSL_CTX_check_private_key(ctx) != 1)
        *why = at + "privkey.pem: " + sslwhy("the key does not match the certificate");
    else
        why->clear();
    EVP_PKEY_free(key);
    ERR_clear_error();
    if (why->empty()) return ctx;
    SSL_CTX_free(ctx);
    return nullptr;
}

// What both files of a pair are now: type, size, times, identity.
std::vector<std::int64_t> pairsign(const std::string& name) {
    std::vector<std::int64_t> sign;
    for (const char* file : {"/fullchain.pem", "/privkey.pem"}) {
        statinfo d;
        if (statpath((store().dir + "/" + name + file).c_str(), &d) != 0) d = statinfo{0, -1, 0, 0};
        sign.insert(sign.end(), {std::int64_t(d.st_mode), d.st_size, d.st_time, d.st_nsec, std::int64_t(d.st_dev),
                                 std::int64_t(d.st_ino), d.st_ctns});
    }
    return sign;
}

// Brings the pairs in line with the folders of DIR: a gone folder's pair
// leaves service, a new or changed one is loaded. A pair leaving service
// is said, as a broken one is, and so is the last one leaving.
void pairsscan(const std::set<std::string>& dirs) {
    certstore& s = store();
    bool served = !certspick("").empty();
    for (auto p = s.pairs.begin(); p != s.pairs.end();) {
        if (dirs.count(p->first)) {
            ++p;
            continue;
        }
        if (p->second.ctx) fprintf(stderr, "%s/%s: gone (its pair leaves service)\n", s.dir.c_str(), p->first.c_str());
        // Only this reference goes: open connections keep theirs.
        SSL_CTX_free(p->second.ctx);
        p = s.pairs.erase(p);
    }
    for (const std::string& name : dirs) {
        certpair& pair = s.pairs[name];
        std::vector<std::int64_t> sign = pairsign(name);
        if (sign == pair.seen) continue;
        // A version changed while it is read shows a new status next time.
        pair.seen = sign;
        std::string why;
        SSL_CTX* ctx = pairload(name, &why);
        if (!ctx) {
            fprintf(stderr, "%s%s\n", why.c_str(), pair.ctx ? " (the pair loaded before stays in service)" : "");
            continue;
        }
        SSL_CTX_free(pair.ctx);
        pair.ctx = ctx;
    }
    if (served && certspick("").empty())
        fprintf(stderr, "No usable certificate pair (NAME/fullchain.pem and NAME/privkey.pem) in %s: new TLS "
                        "handshakes fail until one comes.\n", s.dir.c_str());
}

bool keymake(ticketkey* key) {
    return RAND_bytes(key->name, sizeof key->name) == 1 && RAND_bytes(key->aes, sizeof key->aes) == 1 &&
           RAND_bytes(key->mac, sizeof key->mac) == 1;
}

// Seals (seal 1) or opens (seal 0) a ticket. The session context of a
// connection stays the one it was made with, the base, whatever pair the
// server name moves it to: only the base's keys are ever used.
int ticketkeys(SSL* ssl, unsigned char name[16], unsigned char* iv, EVP_CIPHER_CTX* cipher, EVP_MAC_CTX* mac,
               int seal) {
    ticketkey* keys = store().keys;
    int k = 0;
    if (seal) {
        if (RAND_bytes(iv, 16) != 1) return -1;
        memcpy(name, keys[0].name, 16);
    } else {
        while (k < 2 && memcmp(name, keys[k].name, 16) != 0) ++k;
        if (k == 2) return 0;
    }
    char digest[] = "sha256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_KEY, keys[k].mac, sizeof keys[k].mac),
                           OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    if (EVP_MAC_CTX_set_params(mac, params) != 1) return -1;
    if (EVP_CipherInit_ex(cipher, EVP_aes_256_cbc(), nullptr, keys[k].aes, iv, seal) != 1) return -1;
    if (seal) return 1;
    // A ticket of the older key resumes, and the client gets one of the newer.
    // A TLS 1.3 client uses a ticket once: without a new one each time, every
    // other connection of a client that keeps coming would be a full handshake.
    return k == 0 && SSL_version(ssl) != TLS1_3_VERSION ? 1 : 2;
}

int sniswitch(SSL* ssl, int* alert, void*) {
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    auto pair = store().pairs.find(certspick(name ? name : ""));
    // Every pair may have gone since start.
    *alert = SSL_AD_INTERNAL_ERROR;
    if (pair == store().pairs.end() || !SSL_set_SSL_CTX(ssl, pair->second.ctx)) return SSL_TLSEXT_ERR_ALERT_FATAL;
    return SSL_TLSEXT_ERR_OK;
}

// The base context holds no pair: the server name callback runs on every
// handshake, with or without a name, and always moves the connection.
bool basemake() {
    certstore& s = store();
    // Both keys random: a ticket never opens with a key nobody sealed with.
    if (!keymake(&s.keys[0]) || !keymake(&s.keys[1])) return false;
    s.base = ctxmake();
    if (!s.base) return false;
    SSL_CTX_set_tlsext_servername_callback(s.base, sniswitch);
    SSL_CTX_set_tlsext_ticket_key_evp_cb(s.base, ticketkeys);
    return true;
}

}  // namespace

void certsalpn(bool h2) {
    alpnh2 = h2;
}

bool certsload(const std::string& dir) {
    certstore& s = store();
    // Before OpenSSL's first allocation, or not at all.
    blocksuse();
    if (!s.base && !basemake()) {
        fprintf(stderr, "%s\n", sslwhy("no TLS context or no random bytes for its ticket keys").c_str());
        ERR_clear_error();
        return false;
    }
    for (auto& p : s.pairs) SSL_CTX_free(p.second.ctx);
    s.pairs.clear();
    s.dir = dir;
    s.looked = s.keyed = s.lost = false;
    std::set<std::string> names, dirs;
    if (!dirread(dir.c_str(), &names, &dirs)) {
        fprintf(stderr, "%s: %s\n", dir.c_str(), strerror(errno));
        return false;
    }
    pairsscan(dirs);
    return !certspick("").empty();
}

SSL_CTX* certsbase() {
    return store().base;
}

std::string certspick(std::string name) {
    const auto& pairs = store().pairs;
    auto usable = [&](const std::string& n) {
        auto p = pairs.find(n);
        return p != pairs.end() && p->second.ctx;
    };
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    for (;;) {
        if (usable(name)) return name;
        std::size_t dot = name.find('.');
        if (dot == std::string::npos) break;
        name.erase(0, dot + 1);
    }
    if (usable("a")) return "a";
    for (const auto& p : pairs)
        if (p.second.ctx) return p.first;
    return "";
}

void certscheck(std::uint64_t now) {
    certstore& s = store();
    if (!s.base) return;
    if (!s.keyed) {
        s.keyed = true;
        s.keyat = now;
    } else if (now >= s.keyat + keylife) {
        ticketkey next;
        // Without random bytes the current key serves on, and the next turn tries again.
        if (keymake(&next)) {
            s.keys[1] = s.keys[0];
            s.keys[0] = next;
            s.keyat = now;
        }
        OPENSSL_cleanse(&next, sizeof next);
    }
    if (!nudged && s.looked && now - s.lookat < lookgap) return;
    nudged = 0;
    s.looked = true;
    s.lookat = now;
    // A folder that cannot be read now leaves the pairs as they are.
    std::set<std::string> names, dirs;
    bool read = dirread(s.dir.c_str(), &names, &dirs);
    if (!read && !s.lost)
        fprintf(stderr, "%s: %s (the pairs loaded before stay in service)\n", s.dir.c_str(), strerror(errno));
    s.lost = !read;
    if (read) pairsscan(dirs);
}

void certsnudge() {
    nudged = 1;
}
