// TLS client connections with OpenSSL, over the sockets of net.cpp.
//
// The handshake is taken a step on whenever poll() says the socket is
// ready for what it waits for (net.cpp drives it), so the loop goes on
// meanwhile: a cancel, a signal or the watchdog ends a handshake that a
// server leaves hanging. The core starts it only when the server is known
// to be ready for it. Afterwards the socket stays non-blocking and
// event-driven; records are read one by one
// (no read-ahead), so anything not yet decrypted is still in the kernel
// where poll() sees it, and what was decrypted but not returned is
// reported by TlsBuffered.
//
// The certificate is checked after the handshake rather than inside it,
// so that a refusal can name the reason and the fingerprint to pin.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/opensslv.h>
#include <openssl/x509v3.h>
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "platform/posix/posix_internal.h"

struct TlsLink {
    SSL_CTX *ctx;  // shared by a control connection and its data connections
    SSL *ssl;
    int fd;
    unsigned char fingerprint[32];
    int gotData;  // application data came: not an upload's connection
};

// A handshake under way, with what its certificate's check needs at the end.
struct TlsShake {
    SSL_CTX *ctx;
    SSL *ssl;
    int fd;
    int control;  // the control connection's socket for a data connection, else -1
    char host[256];
    unsigned char pin[32];
    int hasPin;
    int verify;
    short want;   // the poll events it waits for; 0 once it has ended
    int failed;
    char why[200];
};

namespace {

// OpenSSL is loaded on the first TLS connection, not at start: a run in
// clear text pays nothing for it (loading and starting the two libraries
// costs about a millisecond, a sixth of a whole log-in job).
static_assert(OPENSSL_VERSION_MAJOR == 3, "the library names below are OpenSSL 3's");
#define OPENSSL_CALLS(X) X(ASN1_OCTET_STRING_free) X(ERR_clear_error) X(ERR_peek_error) \
    X(ERR_reason_error_string) X(EVP_sha256) X(PEM_read_X509) X(SSL_CTX_free) \
    X(SSL_CTX_get_cert_store) X(SSL_CTX_new) X(SSL_CTX_set_default_verify_paths) X(SSL_CTX_ctrl) \
    X(SSL_CTX_set_verify) X(SSL_CTX_up_ref) X(SSL_SESSION_free) X(SSL_SESSION_is_resumable) \
    X(SSL_connect) X(SSL_free) X(SSL_get0_peer_certificate) X(SSL_get1_session) \
    X(SSL_get_current_cipher) X(SSL_CIPHER_get_name) X(SSL_get_error) X(SSL_get_shutdown) \
    X(SSL_get_verify_result) X(SSL_get_version) X(SSL_new) X(SSL_peek) X(SSL_pending) \
    X(SSL_read) X(SSL_session_reused) X(SSL_set_connect_state) X(SSL_set_fd) X(SSL_set_session) \
    X(SSL_ctrl) X(SSL_shutdown) X(SSL_write) X(TLS_client_method) X(X509_NAME_oneline) \
    X(X509_STORE_add_cert) X(X509_check_host) X(X509_check_ip_asc) X(X509_digest) X(X509_free) \
    X(X509_get_subject_name) X(X509_verify_cert_error_string) X(a2i_IPADDRESS)

struct OpenSsl {
#define X(name) decltype(&::name) name;
    OPENSSL_CALLS(X)
#undef X
};
OpenSsl L;
int Loaded = 0;  // 1 loaded, -1 could not be, 0 not yet tried

void *Symbol(void *ssl, void *crypto, const char *name) {
    void *p = dlsym(ssl, name);
    return p != nullptr ? p : dlsym(crypto, name);
}

int LoadOpenSsl() {
    if (Loaded != 0) return Loaded > 0;
    Loaded = -1;
    void *crypto = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
    void *ssl = crypto != nullptr ? dlopen("libssl.so.3", RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (ssl == nullptr) return 0;
#define X(name)                                                                 \
    L.name = reinterpret_cast<decltype(&::name)>(Symbol(ssl, crypto, #name)); \
    if (L.name == nullptr) return 0;
    OPENSSL_CALLS(X)
#undef X
    Loaded = 1;
    return 1;
}

unsigned long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (unsigned long)ts.tv_sec * 1000UL + (unsigned long)(ts.tv_nsec / 1000000);
}

// "30:20:01:...": the form a person compares and pastes into TLSFingerprint.
void FingerprintText(const unsigned char fp[32], char *out, size_t size) {
    char text[32 * 3];
    for (int i = 0; i < 32; i++) snprintf(text + i * 3, 4, "%02X%s", fp[i], i < 31 ? ":" : "");
    CopyCut(out, size, text);
}

int IsAddress(const char *name) {
    ASN1_OCTET_STRING *ip = L.a2i_IPADDRESS(name);
    if (ip == nullptr) return 0;
    L.ASN1_OCTET_STRING_free(ip);
    return 1;
}

// The first error OpenSSL queued, as a short text; what else when none.
void OpenSslError(char *out, size_t size, const char *otherwise) {
    unsigned long e = L.ERR_peek_error();
    if (e == 0) {
        CopyCut(out, size, otherwise);
        return;
    }
    const char *reason = L.ERR_reason_error_string(e);
    CopyCut(out, size, reason ? reason : "TLS error");
    L.ERR_clear_error();
}

// A PEM file of at least one certificate, read through the drive map.
int LoadCAFile(SSL_CTX *ctx, const char *name, char *why, size_t size) {
    char path[4096];
    FILE *f = PosixMapPath(name, path, sizeof path) ? fopen(path, "r") : nullptr;
    if (f == nullptr) {
        FormatCut(why, size, "CA file %s cannot be read", name);
        return 0;
    }
    X509_STORE *store = L.SSL_CTX_get_cert_store(ctx);
    int count = 0;
    X509 *cert;
    while ((cert = L.PEM_read_X509(f, nullptr, nullptr, nullptr)) != nullptr) {
        if (L.X509_STORE_add_cert(store, cert) == 1) count++;
        L.X509_free(cert);
    }
    fclose(f);
    L.ERR_clear_error();  // the end of the file reads as an error
    if (count > 0) return 1;
    FormatCut(why, size, "CA file %s holds no certificate", name);
    return 0;
}

SSL_CTX *NewContext(const PlatTlsSettings *t, char *why, size_t size) {
    SSL_CTX *ctx = L.SSL_CTX_new(L.TLS_client_method());
    if (ctx == nullptr) {
        FormatCut(why, size, "TLS cannot be set up for %s", t->ServerName);
        return nullptr;
    }
    L.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    L.SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    // A send may go out record by record; the core keeps what is unsent.
    L.SSL_CTX_ctrl(ctx, SSL_CTRL_MODE,
                   SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER, nullptr);
    if (t->Verify && t->Pin == nullptr) {
        L.SSL_CTX_set_default_verify_paths(ctx);
        if (t->CAFile != nullptr && t->CAFile[0] != 0 && !LoadCAFile(ctx, t->CAFile, why, size)) {
            L.SSL_CTX_free(ctx);
            return nullptr;
        }
    }
    return ctx;
}

// Waits for the socket as the handshake wants; 0 when the time is up.
int WaitFor(SSL *ssl, int fd, int result, unsigned long deadline) {
    short events = L.SSL_get_error(ssl, result) == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
    for (;;) {
        unsigned long now = NowMs();
        if ((long)(deadline - now) <= 0) return 0;
        pollfd p = {fd, events, 0};
        int n = poll(&p, 1, (int)(deadline - now));
        if (n > 0) return 1;
        if (n == 0) return 0;
        if (errno != EINTR) return 1;  // the next step reports it
    }
}

const char *UntrustedReason(long v) {
    switch (v) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT: return "self-signed";
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE: return "issuer unknown";
    case X509_V_ERR_CERT_HAS_EXPIRED: return "expired";
    case X509_V_ERR_CERT_NOT_YET_VALID: return "not yet valid";
    case X509_V_ERR_CERT_REVOKED: return "revoked";
    default: return L.X509_verify_cert_error_string(v);
    }
}

int NamesServer(X509 *cert, const char *name) {
    if (IsAddress(name)) return L.X509_check_ip_asc(cert, name, 0) == 1;
    return L.X509_check_host(cert, name, 0, 0, nullptr) == 1;
}

// The checks a control connection's certificate must pass.
int CheckCertificate(SSL *ssl, X509 *cert, const unsigned char fp[32], const PlatTlsSettings *t,
                     char *why, size_t size) {
    char shown[100];
    FingerprintText(fp, shown, sizeof shown);
    if (t->Pin != nullptr) {
        if (memcmp(fp, t->Pin, 32) == 0) return 1;
        FormatCut(why, size, "Certificate of %s does not match TLSFingerprint (SHA-256 %s)",
                  t->ServerName, shown);
        return 0;
    }
    if (!t->Verify) return 1;
    long v = L.SSL_get_verify_result(ssl);
    if (v != X509_V_OK) {
        FormatCut(why, size, "Certificate of %s is not trusted (%s; SHA-256 %s)", t->ServerName,
                  UntrustedReason(v), shown);
        return 0;
    }
    if (NamesServer(cert, t->ServerName)) return 1;
    FormatCut(why, size, "Certificate of %s does not name it (SHA-256 %s)", t->ServerName, shown);
    return 0;
}

// The certificate's checks; for a data connection, that it is the control
// connection's.
int Checked(SSL *ssl, const TlsLink *control, const PlatTlsSettings *t, unsigned char fp[32],
            char *why, size_t size) {
    X509 *cert = L.SSL_get0_peer_certificate(ssl);
    unsigned len = 0;
    if (cert == nullptr || L.X509_digest(cert, L.EVP_sha256(), fp, &len) != 1 || len != 32) {
        FormatCut(why, size, "TLS handshake with %s failed (no certificate)", t->ServerName);
        return 0;
    }
    if (control == nullptr) return CheckCertificate(ssl, cert, fp, t, why, size);
    if (memcmp(fp, control->fingerprint, 32) == 0) return 1;
    char shown[100];
    FingerprintText(fp, shown, sizeof shown);
    FormatCut(why, size,
              "Certificate of the data connection differs from the control connection's "
              "(SHA-256 %s)",
              shown);
    return 0;
}

// The control connection's session, offered so that the server can tell
// the data connection is the same client's.
void OfferSession(SSL *ssl, const TlsLink *control) {
    SSL_SESSION *s = L.SSL_get1_session(control->ssl);
    if (s == nullptr) return;
    if (L.SSL_SESSION_is_resumable(s)) L.SSL_set_session(ssl, s);
    L.SSL_SESSION_free(s);
}

// errno and -1 for what the last call left; 0 for close_notify.
long Outcome(SSL *ssl, int r) {
    switch (L.SSL_get_error(ssl, r)) {
    case SSL_ERROR_ZERO_RETURN: return 0;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE: errno = EAGAIN; return -1;
    default:
        // A stream that ends without close_notify may have been cut: a
        // file taken from it could be short.
        L.ERR_clear_error();
        errno = ECONNRESET;
        return -1;
    }
}

// After close_notify: waits a little for the peer to close, reading and
// dropping what it still sends (its own close_notify, a late session
// ticket). A socket closed with unread data resets the connection, and a
// reset makes the peer's system discard what it has not read yet: the
// end of an upload.
void Linger(int fd) {
    shutdown(fd, SHUT_WR);
    unsigned long deadline = NowMs() + 2000;
    char scrap[4096];
    for (;;) {
        ssize_t n = recv(fd, scrap, sizeof scrap, MSG_DONTWAIT);
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return;
        unsigned long now = NowMs();
        if ((long)(deadline - now) <= 0) return;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)(deadline - now)) == 0) return;
    }
}

}  // namespace

short TlsShakeStep(TlsShake *h) {
    if (h->want == 0) return 0;
    L.ERR_clear_error();
    int r = L.SSL_connect(h->ssl);
    if (r == 1) return h->want = 0;
    int e = L.SSL_get_error(h->ssl, r);
    if (e == SSL_ERROR_WANT_READ) return h->want = POLLIN;
    if (e == SSL_ERROR_WANT_WRITE) return h->want = POLLOUT;
    char detail[120];
    OpenSslError(detail, sizeof detail, "connection closed");
    FormatCut(h->why, sizeof h->why, "TLS handshake with %s failed (%s)", h->host, detail);
    h->failed = 1;
    return h->want = 0;
}

void TlsShakeFree(TlsShake *h) {
    if (h->ssl != nullptr) L.SSL_free(h->ssl);
    if (h->ctx != nullptr) L.SSL_CTX_free(h->ctx);
    delete h;
}

TlsLink *TlsShakeFinish(TlsShake *h, char *why, size_t size) {
    TlsLink *link = nullptr;
    const TlsLink *control = h->control >= 0 ? NetTlsLink(h->control) : nullptr;
    PlatTlsSettings t = {h->host, "", h->hasPin ? h->pin : nullptr, h->verify};
    unsigned char fp[32];
    if (h->failed) {
        CopyCut(why, size, h->why);
    } else if (h->want != 0) {
        FormatCut(why, size, "TLS handshake with %s has not ended", h->host);
    } else if (h->control >= 0 && control == nullptr) {
        FormatCut(why, size, "TLS handshake with %s failed (the control connection is gone)", h->host);
    } else if (Checked(h->ssl, control, &t, fp, why, size)) {
        link = new TlsLink{h->ctx, h->ssl, h->fd, {0}, 0};
        memcpy(link->fingerprint, fp, 32);
        h->ctx = nullptr;
        h->ssl = nullptr;
    }
    TlsShakeFree(h);
    return link;
}

int PlatNetTlsStart(PlatSocket s, const PlatTlsSettings *t, PlatSocket resumeFrom, char *why,
                    size_t size) {
    if (size) why[0] = 0;
    if (!LoadOpenSsl()) {
        FormatCut(why, size, "TLS with %s cannot start: OpenSSL (libssl.so.3) cannot be loaded",
                  t->ServerName);
        return 0;
    }
    const TlsLink *control = resumeFrom >= 0 ? NetTlsLink((int)resumeFrom) : nullptr;
    SSL_CTX *ctx = nullptr;
    if (control != nullptr && L.SSL_CTX_up_ref(control->ctx) == 1) ctx = control->ctx;
    if (ctx == nullptr) ctx = NewContext(t, why, size);
    if (ctx == nullptr) return 0;
    TlsShake *h = new TlsShake();
    h->ctx = ctx;
    h->ssl = L.SSL_new(ctx);
    h->fd = (int)s;
    h->control = control != nullptr ? (int)resumeFrom : -1;
    CopyCut(h->host, sizeof h->host, t->ServerName);
    h->hasPin = t->Pin != nullptr;
    if (h->hasPin) memcpy(h->pin, t->Pin, 32);
    h->verify = t->Verify;
    h->want = POLLOUT;  // the first step sends the client's hello
    if (h->ssl == nullptr || L.SSL_set_fd(h->ssl, (int)s) != 1) {
        FormatCut(why, size, "TLS cannot be set up for %s", t->ServerName);
        TlsShakeFree(h);
        return 0;
    }
    L.SSL_set_connect_state(h->ssl);
    if (!IsAddress(t->ServerName))
        L.SSL_ctrl(h->ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                   const_cast<char *>(t->ServerName));
    if (control != nullptr) OfferSession(h->ssl, control);
    if (NetBeginShake((int)s, h)) return 1;
    FormatCut(why, size, "TLS with %s: the socket is not connected", t->ServerName);
    TlsShakeFree(h);
    return 0;
}

int PlatNetTlsFinish(PlatSocket s, char *why, size_t size) {
    if (size) why[0] = 0;
    TlsShake *h = NetShake((int)s);
    if (h == nullptr) {
        CopyCut(why, size, "TLS handshake: no handshake on this socket");
        return 0;
    }
    TlsLink *link = TlsShakeFinish(h, why, size);
    NetEndShake((int)s, link);
    return link != nullptr;
}

int PlatNetTlsDescribe(PlatSocket s, char *out, size_t size) {
    TlsLink *t = NetTlsLink((int)s);
    if (t == nullptr) return 0;
    char subject[200] = "";
    X509 *cert = L.SSL_get0_peer_certificate(t->ssl);
    if (cert != nullptr) L.X509_NAME_oneline(L.X509_get_subject_name(cert), subject, sizeof subject);
    char shown[100];
    FingerprintText(t->fingerprint, shown, sizeof shown);
    FormatCut(out, size, "%s %s, certificate %s, SHA-256 %s%s", L.SSL_get_version(t->ssl),
              L.SSL_CIPHER_get_name(L.SSL_get_current_cipher(t->ssl)), subject, shown,
              L.SSL_session_reused(t->ssl) ? ", session resumed" : "");
    return 1;
}

long TlsRecv(TlsLink *t, void *buf, size_t n, int peek) {
    L.ERR_clear_error();
    if (peek) {
        int r = L.SSL_peek(t->ssl, buf, n > INT_MAX ? INT_MAX : (int)n);
        return r > 0 ? r : Outcome(t->ssl, r);
    }
    // Whole records until the buffer is full or the kernel has no more: a
    // short receive sends the socket back to poll(), which must then be
    // right that nothing is waiting.
    size_t total = 0;
    while (total < n) {
        size_t want = n - total;
        int r = L.SSL_read(t->ssl, static_cast<char *>(buf) + total, want > INT_MAX ? INT_MAX : (int)want);
        if (r > 0) {
            total += (size_t)r;
            continue;
        }
        if (total > 0) break;  // the next receive reports what stopped this one
        return Outcome(t->ssl, r);
    }
    t->gotData = 1;
    return (long)total;
}

long TlsSend(TlsLink *t, const void *buf, size_t n) {
    L.ERR_clear_error();
    int r = L.SSL_write(t->ssl, buf, n > INT_MAX ? INT_MAX : (int)n);
    if (r > 0) return r;
    long out = Outcome(t->ssl, r);
    if (out == 0) errno = ECONNRESET;  // a close_notify while sending
    return -1;
}

// A close_notify already read counts: the server may wait for ours before
// it closes, so no event would ever come for it.
int TlsBuffered(TlsLink *t) {
    return L.SSL_pending(t->ssl) > 0 || (L.SSL_get_shutdown(t->ssl) & SSL_RECEIVED_SHUTDOWN) != 0;
}

// The peer learns the data is complete from close_notify: an upload's
// end must not look like a cut. A full send buffer gets a moment.
static void Shutdown(TlsLink *t) {
    unsigned long deadline = NowMs() + 5000;
    L.ERR_clear_error();
    for (;;) {
        int r = L.SSL_shutdown(t->ssl);
        if (r >= 0 || L.SSL_get_error(t->ssl, r) != SSL_ERROR_WANT_WRITE) break;
        if (!WaitFor(t->ssl, t->fd, r, deadline)) break;
    }
    L.ERR_clear_error();
    // Only a connection that carried nothing back can be an upload the
    // peer is still reading; on the others the peer has read all we sent.
    if (!t->gotData) Linger(t->fd);
}

void TlsEnd(TlsLink *t, int notify) {
    if (notify) Shutdown(t);
    L.SSL_free(t->ssl);
    L.SSL_CTX_free(t->ctx);
    delete t;
}
