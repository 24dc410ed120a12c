// TLS client on a Winsock socket through Schannel. The program checks the
// server's certificate itself after the handshake (fingerprint pin, chain,
// name), so Schannel is told to leave that alone and both builds judge a
// certificate alike. A data connection reuses its control connection's
// credentials handle and target name: that is how Schannel offers the
// control connection's session again.
//
// The handshake is taken on by the socket's own events: the window
// procedures hand them here first (TlsTakeEvent), so the message loop goes
// on meanwhile and a cancel or the watchdog ends a handshake that a
// server leaves hanging.
#define SECURITY_WIN32
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

namespace {

// One credentials handle per control connection, shared by its data
// connections; the last of them to close frees it.
struct TlsCred {
    CredHandle h;
    int refs;
};

enum { FP_SIZE = 32, FP_TEXT = FP_SIZE * 3 };

enum HandshakeEnd { HS_OK, HS_WANT_READ, HS_WANT_WRITE, HS_STATUS, HS_CLOSED, HS_SOCKET, HS_TIMEOUT };

struct HandshakeResult {
    HandshakeEnd end;
    SECURITY_STATUS status;
    int error;  // Winsock's, for HS_SOCKET
};

}  // namespace

struct TlsConn {
    SOCKET s;
    TlsCred *cred = nullptr;
    CtxtHandle ctx;
    bool hasCtx = false;
    std::string target;
    SecPkgContext_StreamSizes sizes = {};
    std::vector<char> in;  // ciphertext read ahead of its decryption
    size_t inLen = 0;
    std::vector<char> plain;  // decrypted, not yet returned
    size_t plainPos = 0;
    std::vector<char> out;  // encrypted, not yet taken by the OS
    size_t outPos = 0, outLen = 0;
    bool peerClosed = false;  // close_notify received
    bool readPosted = false;  // an FD_READ of ours waits for the next receive
    bool closePosted = false; // FD_CLOSE was posted for the close_notify
    bool gotData = false;     // application data came: not an upload's connection
    unsigned char fp[FP_SIZE] = {};
    std::string subject;
    int resumed = -1;  // -1 when Schannel does not say
    // A handshake's course: its bytes for the server not yet taken by the
    // OS, whether it waits for the server's, and whether it is done.
    std::vector<char> token;
    size_t tokenPos = 0;
    bool needRead = false;
    int incompleteCreds = 0;
    bool handshakeDone = false;
    // From PlatNetTlsStart to PlatNetTlsFinish: where the socket's events
    // go, how the handshake ended, and what the certificate's check needs.
    bool shaking = false;
    bool ended = false;
    // Events taken here that the window is owed once the handshake is
    // finished: a read that came after its end, and any write event (the
    // one of an accept may come only once the handshake has begun).
    long owed = 0;
    HandshakeResult result = {HS_OK, 0, 0};
    HWND w = NULL;
    UINT msg = 0;
    SOCKET from = INVALID_SOCKET;
    HCERTSTORE ca = NULL;
    bool hasPin = false;
    unsigned char pin[FP_SIZE] = {};
    int verify = 1;
};

static std::vector<TlsConn *> Conns;

static const DWORD CLOSE_LIMIT_MS = 5000;
static const size_t HANDSHAKE_BUFFER_MAX = 1 << 20;
// Records encrypted per send: fewer system calls on a long upload.
static const size_t RECORDS_PER_SEND = 4;

static const ULONG ISC_FLAGS = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                               ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                               ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                               ISC_REQ_MANUAL_CRED_VALIDATION;

TlsConn *TlsFind(SOCKET s) {
    for (TlsConn *c : Conns)
        if (c->s == s && !c->shaking) return c;
    return nullptr;
}

TlsConn *TlsShaking(SOCKET s) {
    for (TlsConn *c : Conns)
        if (c->s == s && c->shaking) return c;
    return nullptr;
}

static void CredRelease(TlsCred *cred) {
    if (cred && --cred->refs == 0) {
        FreeCredentialsHandle(&cred->h);
        delete cred;
    }
}

static void FreeConn(TlsConn *c) {
    if (c->ca) CertCloseStore(c->ca, 0);
    if (c->hasCtx) DeleteSecurityContext(&c->ctx);
    CredRelease(c->cred);
    for (size_t i = 0; i < Conns.size(); i++)
        if (Conns[i] == c) {
            Conns.erase(Conns.begin() + (long)i);
            break;
        }
    delete c;
}

static SECURITY_STATUS CredAcquire(TlsCred **out) {
    SCHANNEL_CRED sc;
    ZeroMemory(&sc, sizeof sc);
    sc.dwVersion = SCHANNEL_CRED_VERSION;
    sc.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
#ifdef SP_PROT_TLS1_3_CLIENT
    sc.grbitEnabledProtocols |= SP_PROT_TLS1_3_CLIENT;
#endif
    sc.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TlsCred *cred = new TlsCred;
    cred->refs = 1;
    TimeStamp expiry;
    SECURITY_STATUS st = AcquireCredentialsHandleA(NULL, (SEC_CHAR *)UNISP_NAME_A, SECPKG_CRED_OUTBOUND,
                                                   NULL, &sc, NULL, NULL, &cred->h, &expiry);
    if (st != SEC_E_OK && sc.grbitEnabledProtocols != SP_PROT_TLS1_2_CLIENT) {
        // A system that does not know TLS 1.3 may refuse to hear of it.
        sc.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        st = AcquireCredentialsHandleA(NULL, (SEC_CHAR *)UNISP_NAME_A, SECPKG_CRED_OUTBOUND, NULL, &sc,
                                       NULL, NULL, &cred->h, &expiry);
    }
    if (st != SEC_E_OK) {
        delete cred;
        return st;
    }
    *out = cred;
    return SEC_E_OK;
}

// ---- Blocking on a non-blocking socket -------------------------------------------------

// 1 when s is ready to read (or write), 0 when the time since start has
// passed limitMs, -1 on a select error.
static int WaitSocket(SOCKET s, bool write, DWORD start, DWORD limitMs) {
    DWORD spent = GetTickCount() - start;
    if (spent >= limitMs) return 0;
    DWORD left = limitMs - spent;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv;
    tv.tv_sec = (long)(left / 1000);
    tv.tv_usec = (long)(left % 1000) * 1000;
    int r = select(0, write ? NULL : &set, write ? &set : NULL, NULL, &tv);
    return r > 0 ? 1 : r == 0 ? 0 : -1;
}

// Sends all of p, waiting for room. 0, or the Winsock error (WSAETIMEDOUT
// when the time ran out).
static int SendAll(SOCKET s, const char *p, size_t n, DWORD start, DWORD limitMs) {
    while (n) {
        int r = send(s, p, (int)(n < INT_MAX ? n : INT_MAX), 0);
        if (r != SOCKET_ERROR) {
            p += r;
            n -= (size_t)r;
            continue;
        }
        int e = WSAGetLastError();
        if (e != WSAEWOULDBLOCK) return e;
        int w = WaitSocket(s, true, start, limitMs);
        if (w <= 0) return w == 0 ? WSAETIMEDOUT : WSAGetLastError();
    }
    return 0;
}

// Sends pending ciphertext as far as the OS takes it without waiting. 0
// when nothing is left, else the Winsock error (would-block included, and
// then Winsock posts FD_WRITE once there is room).
static int Flush(TlsConn *c) {
    while (c->outPos < c->outLen) {
        size_t n = c->outLen - c->outPos;
        int r = send(c->s, c->out.data() + c->outPos, (int)(n < INT_MAX ? n : INT_MAX), 0);
        if (r == SOCKET_ERROR) return WSAGetLastError();
        c->outPos += (size_t)r;
    }
    c->outPos = c->outLen = 0;
    return 0;
}

// ---- Handshake ---------------------------------------------------------------------

static void SetBuffer(SecBuffer *b, unsigned long type, size_t size, void *p) {
    b->BufferType = type;
    b->cbBuffer = (unsigned long)size;
    b->pvBuffer = p;
}

static HandshakeResult SocketEnd(int e, HandshakeEnd wouldBlock) {
    if (e == WSAEWOULDBLOCK) return {wouldBlock, 0, 0};
    if (e == WSAECONNRESET || e == WSAECONNABORTED) return {HS_CLOSED, 0, 0};
    return {HS_SOCKET, 0, e};
}

// Reads what has come of the server's handshake into c->in: HS_OK when
// something came, HS_WANT_READ when nothing has yet.
static HandshakeResult HandshakeRead(TlsConn *c) {
    if (c->inLen == c->in.size()) {
        if (c->in.size() >= HANDSHAKE_BUFFER_MAX) return {HS_STATUS, SEC_E_INSUFFICIENT_MEMORY, 0};
        c->in.resize(c->in.size() * 2);
    }
    int r = recv(c->s, c->in.data() + c->inLen, (int)(c->in.size() - c->inLen), 0);
    if (r == 0) return {HS_CLOSED, 0, 0};
    if (r == SOCKET_ERROR) return SocketEnd(WSAGetLastError(), HS_WANT_READ);
    c->inLen += (size_t)r;
    return {HS_OK, 0, 0};
}

// Sends what the OS has not taken yet of the handshake's bytes: HS_OK
// once all went, HS_WANT_WRITE while it has no room.
static HandshakeResult SendToken(TlsConn *c) {
    while (c->tokenPos < c->token.size()) {
        size_t n = c->token.size() - c->tokenPos;
        int r = send(c->s, c->token.data() + c->tokenPos, (int)(n < INT_MAX ? n : INT_MAX), 0);
        if (r == SOCKET_ERROR) return SocketEnd(WSAGetLastError(), HS_WANT_WRITE);
        c->tokenPos += (size_t)r;
    }
    c->token.clear();
    c->tokenPos = 0;
    return {HS_OK, 0, 0};
}

// One InitializeSecurityContext call on what c->in holds (nothing before
// there is a context). Its token for the server goes to *token, to be
// freed; *extra tells what in c->in lies beyond the messages it took.
static SECURITY_STATUS HandshakeCall(TlsConn *c, SecBuffer *extra, SecBuffer *token) {
    SecBuffer inb[2];
    SetBuffer(&inb[0], SECBUFFER_TOKEN, c->inLen, c->in.data());
    SetBuffer(&inb[1], SECBUFFER_EMPTY, 0, NULL);
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, inb};
    SetBuffer(token, SECBUFFER_TOKEN, 0, NULL);
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, token};
    ULONG attr = 0;
    TimeStamp expiry;
    SECURITY_STATUS st = InitializeSecurityContextA(
        &c->cred->h, c->hasCtx ? &c->ctx : NULL, (SEC_CHAR *)c->target.c_str(), ISC_FLAGS, 0, 0,
        c->hasCtx ? &inDesc : NULL, 0, &c->ctx, &outDesc, &attr, &expiry);
    if (!c->hasCtx && (st == SEC_E_OK || st == SEC_I_CONTINUE_NEEDED)) c->hasCtx = true;
    *extra = inb[1];
    return st;
}

// Moves the bytes Schannel left over (an SECBUFFER_EXTRA, the tail of
// c->in) to the front of c->in. false when there are none.
static bool KeepExtra(TlsConn *c, const SecBuffer *extra) {
    if (!extra || extra->BufferType != SECBUFFER_EXTRA || extra->cbBuffer == 0 || extra->cbBuffer > c->inLen)
        return false;
    memmove(c->in.data(), c->in.data() + c->inLen - extra->cbBuffer, extra->cbBuffer);
    c->inLen = extra->cbBuffer;
    return true;
}

// A handshake from here: without a context yet it starts one; with one it
// goes on from what c->in holds (a post-handshake message).
static void BeginHandshake(TlsConn *c) {
    c->needRead = c->hasCtx && c->inLen == 0;
    c->incompleteCreds = 0;
    c->handshakeDone = false;
    c->token.clear();
    c->tokenPos = 0;
    if (c->in.size() < 16384 + 512) c->in.resize(16384 + 512);
}

// Takes the handshake as far as the socket allows, never waiting: HS_OK
// once it is done, HS_WANT_READ or HS_WANT_WRITE while it waits for the
// socket, else how it failed. Every token goes out, even a failure's: with
// ISC_REQ_EXTENDED_ERROR it is the alert. What the server sent beyond the
// handshake stays in c->in.
static HandshakeResult Advance(TlsConn *c) {
    for (;;) {
        HandshakeResult sent = SendToken(c);
        if (sent.end != HS_OK || c->handshakeDone) return sent;
        if (c->needRead) {
            HandshakeResult r = HandshakeRead(c);
            if (r.end != HS_OK) return r;
        }
        SecBuffer extra, token;
        SECURITY_STATUS st = HandshakeCall(c, &extra, &token);
        if (token.pvBuffer) {
            const char *p = (const char *)token.pvBuffer;
            c->token.insert(c->token.end(), p, p + token.cbBuffer);
            FreeContextBuffer(token.pvBuffer);
        }
        if (st == SEC_E_INCOMPLETE_MESSAGE) {
            c->needRead = true;
            continue;
        }
        if (st == SEC_I_INCOMPLETE_CREDENTIALS && c->incompleteCreds++ == 0) {
            // The server asks for a client certificate; go on without one.
            c->needRead = false;
            continue;
        }
        if (!KeepExtra(c, &extra) && c->hasCtx) c->inLen = 0;
        if (st == SEC_E_OK) {
            c->handshakeDone = true;
            continue;
        }
        if (st != SEC_I_CONTINUE_NEEDED) {
            SendToken(c);
            return {HS_STATUS, st, 0};
        }
        c->needRead = c->inLen == 0;
    }
}

// The same, waiting for the socket up to limitMs from start: for a
// handshake message that comes after the handshake.
static HandshakeResult Handshake(TlsConn *c, DWORD start, DWORD limitMs) {
    BeginHandshake(c);
    for (;;) {
        HandshakeResult r = Advance(c);
        if (r.end != HS_WANT_READ && r.end != HS_WANT_WRITE) return r;
        int w = WaitSocket(c->s, r.end == HS_WANT_WRITE, start, limitMs);
        if (w == 0) return {HS_TIMEOUT, 0, 0};
        if (w < 0) return {HS_SOCKET, 0, WSAGetLastError()};
    }
}

static void StatusText(SECURITY_STATUS st, char *out, size_t size) {
    static const struct {
        SECURITY_STATUS st;
        const char *text;
    } texts[] = {
        {SEC_E_ILLEGAL_MESSAGE, "illegal message or alert from the server"},
        {SEC_E_ALGORITHM_MISMATCH, "no protocol version or cipher in common"},
        {SEC_E_INVALID_TOKEN, "invalid token"},
        {SEC_E_MESSAGE_ALTERED, "message altered"},
        {SEC_E_DECRYPT_FAILURE, "decryption failed"},
        {SEC_E_INTERNAL_ERROR, "internal error"},
        {SEC_E_NO_CREDENTIALS, "no credentials"},
        {SEC_E_UNSUPPORTED_FUNCTION, "unsupported function"},
        {SEC_E_WRONG_PRINCIPAL, "wrong principal"},
        {SEC_E_TARGET_UNKNOWN, "target unknown"},
        {SEC_E_CERT_UNKNOWN, "certificate unknown"},
        {SEC_E_UNTRUSTED_ROOT, "untrusted root"},
        {SEC_E_CERT_EXPIRED, "certificate expired"},
        {SEC_E_INSUFFICIENT_MEMORY, "out of memory"},
        {SEC_E_INVALID_HANDLE, "invalid handle"},
        {SEC_E_INCOMPLETE_MESSAGE, "incomplete message"},
        {SEC_E_BUFFER_TOO_SMALL, "buffer too small"},
        {SEC_I_INCOMPLETE_CREDENTIALS, "the server demands a client certificate"},
        {SEC_E_SECPKG_NOT_FOUND, "Schannel not found"},
    };
    const char *text = "unknown status";
    for (const auto &t : texts)
        if (t.st == st) text = t.text;
    FormatCut(out, size, "0x%08lX %s", (unsigned long)st, text);
}

// ---- Certificates ------------------------------------------------------------------

static bool Sha256(const BYTE *p, DWORD n, unsigned char out[FP_SIZE]) {
    HCRYPTPROV prov;
    if (!CryptAcquireContextA(&prov, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return false;
    bool ok = false;
    HCRYPTHASH hash;
    if (CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash)) {
        DWORD len = FP_SIZE;
        ok = CryptHashData(hash, p, n, 0) && CryptGetHashParam(hash, HP_HASHVAL, out, &len, 0) &&
             len == FP_SIZE;
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(prov, 0);
    return ok;
}

static void FingerprintText(const unsigned char fp[FP_SIZE], char out[FP_TEXT]) {
    static const char hex[] = "0123456789ABCDEF";
    for (int i = 0; i < FP_SIZE; i++) {
        out[i * 3] = hex[fp[i] >> 4];
        out[i * 3 + 1] = hex[fp[i] & 15];
        out[i * 3 + 2] = i + 1 < FP_SIZE ? ':' : 0;
    }
}

// The whole of a file, with a 0 after it; false when it cannot be read.
static bool ReadTextFile(const char *path, std::vector<char> *text) {
    HANDLE f = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE) return false;
    bool read = false;
    DWORD high = 0, low = GetFileSize(f, &high);
    // Far more than any bundle of authorities; a bigger file is not one.
    if (low != INVALID_FILE_SIZE && high == 0 && low <= (64u << 20)) {
        text->resize((size_t)low + 1);
        DWORD got = 0;
        read = ReadFile(f, text->data(), low, &got, NULL) && got == low;
        (*text)[low] = 0;
    }
    CloseHandle(f);
    return read;
}

// Adds the PEM certificates of text to store; how many it took.
static int AddPemCertificates(HCERTSTORE store, const char *text) {
    static const char begin[] = "-----BEGIN CERTIFICATE-----", end[] = "-----END CERTIFICATE-----";
    int count = 0;
    for (const char *p = strstr(text, begin); p; p = strstr(p, begin)) {
        const char *e = strstr(p, end);
        if (!e) break;
        e += sizeof end - 1;
        DWORD n = 0;
        if (CryptStringToBinaryA(p, (DWORD)(e - p), CRYPT_STRING_BASE64HEADER, NULL, &n, NULL, NULL) && n) {
            std::vector<BYTE> der(n);
            if (CryptStringToBinaryA(p, (DWORD)(e - p), CRYPT_STRING_BASE64HEADER, der.data(), &n, NULL,
                                     NULL) &&
                CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), n,
                                                 CERT_STORE_ADD_REPLACE_EXISTING, NULL))
                count++;
        }
        p = e;
    }
    return count;
}

// The PEM certificates of a file, in a memory store of their own; null
// with the sentence in why when there are none to be had.
static HCERTSTORE LoadCAFile(const char *path, char *why, size_t size) {
    std::vector<char> text;
    if (!ReadTextFile(path, &text)) {
        FormatCut(why, size, "CA file %s cannot be read", path);
        return NULL;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, NULL);
    if (!store) {
        FormatCut(why, size, "CA file %s cannot be read", path);
        return NULL;
    }
    if (AddPemCertificates(store, text.data()) == 0) {
        CertCloseStore(store, 0);
        FormatCut(why, size, "CA file %s holds no certificate", path);
        return NULL;
    }
    return store;
}

// The certificates the server sent along, and the CA file's (ca may be
// null), for the chain to be built from besides the system's stores.
static HCERTSTORE ChainExtras(PCCERT_CONTEXT cert, HCERTSTORE ca) {
    HCERTSTORE more = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, NULL);
    if (more) {
        CertAddStoreToCollection(more, cert->hCertStore, 0, 0);
        if (ca) CertAddStoreToCollection(more, ca, 0, 0);
    }
    return more;
}

// true when store holds cert's very bytes, not just the same issuer and
// serial number, which anyone can copy into a root of their own.
static bool HoldsSameBytes(HCERTSTORE store, PCCERT_CONTEXT cert) {
    PCCERT_CONTEXT each = NULL;
    while ((each = CertEnumCertificatesInStore(store, each)) != NULL)
        if (each->cbCertEncoded == cert->cbCertEncoded &&
            memcmp(each->pbCertEncoded, cert->pbCertEncoded, cert->cbCertEncoded) == 0) {
            CertFreeCertificateContext(each);
            return true;
        }
    return false;
}

// Puts err, the trust errors of cert's chain (simple), into words;
// reason is left alone when err is 0.
static void ChainReason(PCCERT_CONTEXT cert, const CERT_SIMPLE_CHAIN *simple, DWORD err, char *reason,
                        size_t size) {
    bool selfSigned = CertCompareCertificateName(X509_ASN_ENCODING, &cert->pCertInfo->Subject,
                                                 &cert->pCertInfo->Issuer) != FALSE;
    if (err & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC)) {
        CopyCut(reason, size, selfSigned && simple->cElement == 1 ? "self-signed" : "issuer unknown");
    } else if (err & CERT_TRUST_IS_NOT_TIME_VALID) {
        CopyCut(reason, size, "expired");
        for (DWORD i = 0; i < simple->cElement; i++)
            if (CertVerifyTimeValidity(NULL, simple->rgpElement[i]->pCertContext->pCertInfo) < 0)
                CopyCut(reason, size, "not yet valid");
    } else if (err & CERT_TRUST_IS_REVOKED) {
        CopyCut(reason, size, "revoked");
    } else if (err & CERT_TRUST_IS_NOT_SIGNATURE_VALID) {
        CopyCut(reason, size, "bad signature");
    } else if (err & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
        CopyCut(reason, size, "not for this use");
    } else if (err) {
        FormatCut(reason, size, "chain error 0x%08lX", (unsigned long)err);
    }
}

// Builds the chain of cert against the system's authorities and those of
// ca (may be null). Empty reason when it is trusted, else why not.
static void CheckChain(PCCERT_CONTEXT cert, HCERTSTORE ca, char *reason, size_t size) {
    reason[0] = 0;
    HCERTSTORE more = ChainExtras(cert, ca);
    CERT_CHAIN_PARA para;
    ZeroMemory(&para, sizeof para);
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = NULL;
    if (!CertGetCertificateChain(NULL, cert, NULL, more, &para, 0, NULL, &chain) || !chain ||
        chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) {
        FormatCut(reason, size, "no chain, error %lu", (unsigned long)GetLastError());
        if (chain) CertFreeCertificateChain(chain);
        if (more) CertCloseStore(more, 0);
        return;
    }
    const CERT_SIMPLE_CHAIN *simple = chain->rgpChain[0];
    DWORD err = chain->TrustStatus.dwErrorStatus;
    // Revocation is not asked for, so its being unknown says nothing.
    err &= ~(DWORD)(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    PCCERT_CONTEXT top = simple->rgpElement[simple->cElement - 1]->pCertContext;
    if ((err & CERT_TRUST_IS_UNTRUSTED_ROOT) && ca && HoldsSameBytes(ca, top))
        err &= ~(DWORD)CERT_TRUST_IS_UNTRUSTED_ROOT;
    ChainReason(cert, simple, err, reason, size);
    CertFreeCertificateChain(chain);
    if (more) CertCloseStore(more, 0);
}

// A DNS name from a certificate against the host's: no case, one final
// dot ignored, "*." standing for one whole leftmost label.
static bool DnsMatch(const std::string &pattern, const char *host) {
    std::string p = pattern, h = host;
    if (!p.empty() && p.back() == '.') p.pop_back();
    if (!h.empty() && h.back() == '.') h.pop_back();
    if (p.empty() || h.empty()) return false;
    if (p.size() > 2 && p[0] == '*' && p[1] == '.') {
        std::string rest = p.substr(1);  // ".example.com"
        size_t dot = h.find('.');
        if (dot == 0 || dot == std::string::npos || rest.find('.', 1) == std::string::npos) return false;
        std::string hrest = h.substr(dot);
        return hrest.size() == rest.size() && EqualNoCase(hrest.c_str(), rest.c_str(), rest.size());
    }
    return p.size() == h.size() && EqualNoCase(p.c_str(), h.c_str(), p.size());
}

// Plain ASCII of a certificate's wide name; false when it has other characters.
static bool Ascii(const wchar_t *w, std::string *out) {
    out->clear();
    for (; w && *w; w++) {
        if (*w > 126 || *w < 32) return false;
        out->push_back((char)*w);
    }
    return true;
}

// The name check done here rather than by the SSL policy, so that dotted
// addresses are checked against the address entries alike everywhere.
static bool NamesHost(PCCERT_CONTEXT cert, const char *host) {
    // An address given to CONN (IPv4 or IPv6) is matched against the
    // certificate's address entries only, byte for byte.
    NetAddress ip;
    bool isIp = NetParseAddress(host, &ip) != 0;
    const CERT_INFO *info = cert->pCertInfo;
    PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (ext) {
        CERT_ALT_NAME_INFO *alt = NULL;
        DWORD n = 0;
        if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                                 ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, NULL, &alt, &n))
            return false;
        bool found = false;
        std::string name;
        for (DWORD i = 0; i < alt->cAltEntry && !found; i++) {
            const CERT_ALT_NAME_ENTRY &e = alt->rgAltEntry[i];
            if (e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS)
                found = isIp && e.IPAddress.cbData == (DWORD)NetAddressLength(&ip) &&
                        memcmp(e.IPAddress.pbData, ip.Bytes, e.IPAddress.cbData) == 0;
            else if (e.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME)
                found = !isIp && Ascii(e.pwszDNSName, &name) && DnsMatch(name, host);
        }
        LocalFree(alt);
        return found;
    }
    // Only a certificate without alternative names is read for its common name.
    char cn[256];
    if (CertGetNameStringA(cert, CERT_NAME_ATTR_TYPE, 0, (void *)szOID_COMMON_NAME, cn, sizeof cn) <= 1)
        return false;
    return isIp ? strcmp(cn, host) == 0 : DnsMatch(cn, host);
}

// ---- The seam ----------------------------------------------------------------------

// A connection with its credentials: a data connection shares those of
// its control connection from, to be offered its session; otherwise new
// ones. Null with the sentence in why when none can be had.
static TlsConn *NewConn(SOCKET s, TlsConn *from, const char *host, char *why, size_t size) {
    TlsConn *c = new TlsConn;
    c->s = s;
    if (from) {
        c->cred = from->cred;
        c->cred->refs++;
        c->target = from->target;
        return c;
    }
    c->target = host;
    SECURITY_STATUS st = CredAcquire(&c->cred);
    if (st != SEC_E_OK) {
        char text[80];
        StatusText(st, text, sizeof text);
        FormatCut(why, size, "TLS handshake with %s failed (%s)", host, text);
        delete c;
        return nullptr;
    }
    return c;
}

// The operator's sentence for a handshake that ended otherwise than HS_OK.
static void HandshakeWhy(const HandshakeResult &r, const char *host, char *why, size_t size) {
    char text[96];
    if (r.end == HS_STATUS) StatusText(r.status, text, sizeof text);
    else if (r.end == HS_SOCKET) FormatCut(text, sizeof text, "socket error %d", r.error);
    else CopyCut(text, sizeof text, "connection closed");
    FormatCut(why, size, "TLS handshake with %s failed (%s)", host, text);
}

// Whether cert (its SHA-256 already in c->fp) is trusted: a data
// connection's must be its control connection's; else the pin decides
// alone, and else the chain and the name when the settings ask for them.
static bool TrustCert(const TlsConn *c, PCCERT_CONTEXT cert, const PlatTlsSettings *t, const TlsConn *from,
                      HCERTSTORE ca, const char *host, char *why, size_t size) {
    char fp[FP_TEXT];
    FingerprintText(c->fp, fp);
    if (from) {
        if (memcmp(c->fp, from->fp, FP_SIZE) == 0) return true;
        FormatCut(why, size,
                  "Certificate of the data connection differs from the control "
                  "connection's (SHA-256 %s)",
                  fp);
        return false;
    }
    if (t->Pin) {
        if (memcmp(c->fp, t->Pin, FP_SIZE) == 0) return true;
        FormatCut(why, size, "Certificate of %s does not match TLSFingerprint (SHA-256 %s)", host, fp);
        return false;
    }
    if (!t->Verify) return true;
    char reason[64];
    CheckChain(cert, ca, reason, sizeof reason);
    if (reason[0])
        FormatCut(why, size, "Certificate of %s is not trusted (%s; SHA-256 %s)", host, reason, fp);
    else if (!NamesHost(cert, host))
        FormatCut(why, size, "Certificate of %s does not name it (SHA-256 %s)", host, fp);
    else
        return true;
    return false;
}

// Judges the server's certificate after the handshake, keeping its
// fingerprint and subject in c for the log.
static bool CheckServerCert(TlsConn *c, const PlatTlsSettings *t, const TlsConn *from, HCERTSTORE ca,
                            const char *host, char *why, size_t size) {
    PCCERT_CONTEXT cert = NULL;
    SECURITY_STATUS st = QueryContextAttributesA(&c->ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
    bool ok = false;
    if (st != SEC_E_OK || !cert) {
        FormatCut(why, size, "TLS handshake with %s failed (the server sent no certificate)", host);
    } else if (!Sha256(cert->pbCertEncoded, cert->cbCertEncoded, c->fp)) {
        FormatCut(why, size, "TLS handshake with %s failed (the certificate's SHA-256 cannot be had)", host);
    } else {
        ok = TrustCert(c, cert, t, from, ca, host, why, size);
        char subject[512];
        if (CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_X500_NAME_STR, subject,
                           sizeof subject) > 1)
            c->subject = subject;
    }
    if (cert) CertFreeCertificateContext(cert);
    return ok;
}

// Readies a connection that passed for data: notes whether its session
// was resumed and sizes its buffers to its records.
static void ReadyConn(TlsConn *c) {
    SecPkgContext_SessionInfo session;
    ZeroMemory(&session, sizeof session);
    if (QueryContextAttributesA(&c->ctx, SECPKG_ATTR_SESSION_INFO, &session) == SEC_E_OK)
        c->resumed = (session.dwFlags & SSL_SESSION_RECONNECT) ? 1 : 0;

    // Room for two whole records at a time, so a long download needs
    // about one system call per record.
    size_t record = c->sizes.cbHeader + c->sizes.cbMaximumMessage + c->sizes.cbTrailer;
    if (c->in.size() < 2 * record) c->in.resize(2 * record);
    c->out.resize(RECORDS_PER_SEND * record);
    // The server may have sent data right behind the handshake; its FD_READ
    // was spent on the handshake.
    if (c->inLen) NetPostEvent(c->s, FD_READ);
    // And the events taken here meanwhile: a receive may find data still
    // in the kernel, and the socket has room.
    if (c->owed & FD_READ) NetPostEvent(c->s, FD_READ);
    if (c->owed & FD_WRITE) NetPostEvent(c->s, FD_WRITE);
}

// The handshake has ended, well or not: the window is told.
static void EndShake(TlsConn *c, const HandshakeResult &r) {
    c->ended = true;
    c->result = r;
    PostMessageA(c->w, c->msg, (WPARAM)c->s, WSAMAKESELECTREPLY(QFD_TLS, 0));
}

bool TlsTakeEvent(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (Conns.empty()) return false;
    SOCKET s = (SOCKET)wp;
    long event = WSAGETSELECTEVENT(lp);
    if (TlsConn *ready = TlsFind(s)) {
        // Room again: the records a send left behind go first.
        HWND to = NULL;
        UINT as = 0;
        if (event == FD_WRITE && ready->outPos < ready->outLen && NetNotifyTarget(s, &to, &as) &&
            to == w && as == msg)
            Flush(ready);
        return false;
    }
    TlsConn *c = TlsShaking(s);
    if (!c || c->w != w || c->msg != msg || event == QFD_TLS) return false;
    if (event & FD_WRITE) c->owed |= FD_WRITE;
    if (c->ended) {
        if (event & (FD_READ | FD_CLOSE)) c->owed |= FD_READ;
        return true;
    }
    int error = WSAGETSELECTERROR(lp);
    HandshakeResult r = error ? SocketEnd(error, HS_SOCKET) : Advance(c);
    if (r.end != HS_WANT_READ && r.end != HS_WANT_WRITE) EndShake(c, r);
    return true;
}

// The settings the check at the end needs, kept with the connection.
static bool KeepSettings(TlsConn *c, const PlatTlsSettings *t, TlsConn *from, char *why, size_t size) {
    c->from = from ? from->s : INVALID_SOCKET;
    c->hasPin = t->Pin != nullptr;
    if (c->hasPin) memcpy(c->pin, t->Pin, FP_SIZE);
    c->verify = t->Verify;
    if (from || t->Pin || !t->Verify || !t->CAFile || !t->CAFile[0]) return true;
    c->ca = LoadCAFile(t->CAFile, why, size);
    return c->ca != NULL;
}

int PlatNetTlsStart(PlatSocket ps, const PlatTlsSettings *t, PlatSocket resumeFrom, char *why,
                    size_t size) {
    SOCKET s = (SOCKET)ps;
    if (size) why[0] = 0;
    const char *host = t->ServerName ? t->ServerName : "";
    if (TlsFind(s) || TlsShaking(s)) {
        FormatCut(why, size, "TLS handshake with %s failed (the connection is TLS already)", host);
        return 0;
    }
    TlsConn *from = resumeFrom == -1 ? nullptr : TlsFind((SOCKET)resumeFrom);
    TlsConn *c = NewConn(s, from, host, why, size);
    if (!c) return 0;
    // Registered now so that the clean-up below is FreeConn's.
    Conns.push_back(c);
    c->shaking = true;
    if (!NetNotifyTarget(s, &c->w, &c->msg)) {
        FormatCut(why, size, "TLS with %s: the socket has no window for its events", host);
        FreeConn(c);
        return 0;
    }
    if (!KeepSettings(c, t, from, why, size)) {
        FreeConn(c);
        return 0;
    }
    BeginHandshake(c);
    HandshakeResult r = Advance(c);
    if (r.end != HS_WANT_READ && r.end != HS_WANT_WRITE) EndShake(c, r);
    return 1;
}

// The checks of a handshake that ended well, as PlatNetTlsStart was told.
static bool Judge(TlsConn *c, const char *host, char *why, size_t size) {
    TlsConn *from = c->from == INVALID_SOCKET ? nullptr : TlsFind(c->from);
    if (c->from != INVALID_SOCKET && !from) {
        FormatCut(why, size, "TLS handshake with %s failed (the control connection is gone)", host);
        return false;
    }
    PlatTlsSettings t = {host, "", c->hasPin ? c->pin : nullptr, c->verify};
    if (!CheckServerCert(c, &t, from, c->ca, host, why, size)) return false;
    if (QueryContextAttributesA(&c->ctx, SECPKG_ATTR_STREAM_SIZES, &c->sizes) == SEC_E_OK) return true;
    FormatCut(why, size, "TLS handshake with %s failed (no stream sizes)", host);
    return false;
}

int PlatNetTlsFinish(PlatSocket ps, char *why, size_t size) {
    if (size) why[0] = 0;
    TlsConn *c = TlsShaking((SOCKET)ps);
    if (!c || !c->ended) {
        CopyCut(why, size, "TLS handshake: none has ended on this socket");
        return 0;
    }
    std::string host = c->target;
    bool ok = c->result.end == HS_OK;
    if (!ok) HandshakeWhy(c->result, host.c_str(), why, size);
    else ok = Judge(c, host.c_str(), why, size);
    if (!ok) {
        FreeConn(c);
        return 0;
    }
    if (c->ca) CertCloseStore(c->ca, 0);
    c->ca = NULL;
    c->shaking = false;
    ReadyConn(c);
    return 1;
}

void TlsDrop(TlsConn *c) { FreeConn(c); }

// The protocol version's name as the log gives it.
static const char *VersionName(DWORD protocol) {
    const char *version = "TLS";
    if (protocol & SP_PROT_TLS1_2_CLIENT) version = "TLSv1.2";
#ifdef SP_PROT_TLS1_3_CLIENT
    if (protocol & SP_PROT_TLS1_3_CLIENT) version = "TLSv1.3";
#endif
    if (protocol & SP_PROT_TLS1_1_CLIENT) version = "TLSv1.1";
    if (protocol & SP_PROT_TLS1_0_CLIENT) version = "TLSv1";
    return version;
}

// The cipher suite's name when Schannel gives it, else the bulk cipher's
// from info.
static void CipherName(TlsConn *c, const SecPkgContext_ConnectionInfo &info, char *out, size_t size) {
    SecPkgContext_CipherInfo suite;
    ZeroMemory(&suite, sizeof suite);
    suite.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    std::string name;
    if (QueryContextAttributesA(&c->ctx, SECPKG_ATTR_CIPHER_INFO, &suite) == SEC_E_OK &&
        Ascii(suite.szCipherSuite, &name) && !name.empty()) {
        // Wine names some suites with an "_<unknown>" tail.
        size_t odd = name.find("_<");
        if (odd != std::string::npos) name.resize(odd);
        CopyCut(out, size, name.c_str());
        return;
    }
    const char *alg = NULL;
    switch (info.aiCipher) {
    case CALG_AES_128: alg = "AES-128"; break;
    case CALG_AES_256: alg = "AES-256"; break;
    case CALG_3DES: alg = "3DES"; break;
    case CALG_RC4: alg = "RC4"; break;
    default: break;
    }
    if (alg) CopyCut(out, size, alg);
    else FormatCut(out, size, "0x%04X/%lu", (unsigned)info.aiCipher, (unsigned long)info.dwCipherStrength);
}

int PlatNetTlsDescribe(PlatSocket s, char *out, size_t size) {
    TlsConn *c = TlsFind((SOCKET)s);
    if (!c) return 0;
    SecPkgContext_ConnectionInfo info;
    ZeroMemory(&info, sizeof info);
    QueryContextAttributesA(&c->ctx, SECPKG_ATTR_CONNECTION_INFO, &info);
    char cipher[80] = "";
    CipherName(c, info, cipher, sizeof cipher);
    char fp[FP_TEXT];
    FingerprintText(c->fp, fp);
    const char *session = c->resumed == 1 ? " resumed" : c->resumed == 0 ? " new session" : "";
    FormatCut(out, size, "%s cipher=%s subject=%s SHA-256 %s%s", VersionName(info.dwProtocol), cipher,
              c->subject.c_str(), fp, session);
    return 1;
}

// ---- Data through a TLS socket -----------------------------------------------------------

// true when c->in holds a whole record, which a receive would decrypt at once.
static bool RecordWaits(const TlsConn *c) {
    if (c->inLen < 5) return false;
    const unsigned char *p = (const unsigned char *)c->in.data();
    return c->inLen >= 5 + ((size_t)p[3] << 8 | p[4]);
}

enum DecryptEnd { DEC_DATA, DEC_MORE, DEC_CLOSED, DEC_ERROR };

// A record's plaintext: what fits to buf (none for a peek), the rest
// kept in c->plain for the next receives.
static void TakePlain(TlsConn *c, const SecBuffer *data, char *buf, size_t n, size_t *got) {
    const char *p = (const char *)data->pvBuffer;
    size_t len = data->cbBuffer, direct = 0;
    if (buf) {
        direct = len < n ? len : n;
        memcpy(buf, p, direct);
        *got = direct;
    }
    c->plain.assign(p + direct, p + len);
    c->plainPos = 0;
}

// What a record's status means for the receive once its plaintext is
// taken: the peer's close, a handshake message to go through, or data.
static DecryptEnd RecordEnd(TlsConn *c, SECURITY_STATUS st) {
    if (st == SEC_I_CONTEXT_EXPIRED) {
        c->peerClosed = true;
        return DEC_CLOSED;
    }
    if (st == SEC_I_RENEGOTIATE) {
        // A handshake message after the handshake (a TLS 1.3 session ticket,
        // a key update): Schannel takes it through the handshake call.
        HandshakeResult r = Handshake(c, GetTickCount(), CLOSE_LIMIT_MS);
        if (r.end != HS_OK) {
            WSASetLastError(r.end == HS_SOCKET ? r.error : WSAECONNABORTED);
            return DEC_ERROR;
        }
    }
    return DEC_DATA;
}

// Decrypts the first record of c->in. Its plaintext goes to buf up to n
// (*got counts it) and the rest to c->plain; a peek passes no buf.
static DecryptEnd DecryptOne(TlsConn *c, char *buf, size_t n, size_t *got) {
    SecBuffer b[4];
    SetBuffer(&b[0], SECBUFFER_DATA, c->inLen, c->in.data());
    for (int i = 1; i < 4; i++) SetBuffer(&b[i], SECBUFFER_EMPTY, 0, NULL);
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
    const unsigned char recordType = (unsigned char)c->in[0];
    SECURITY_STATUS st = DecryptMessage(&c->ctx, &desc, 0, NULL);
    if (st == SEC_E_INCOMPLETE_MESSAGE) return DEC_MORE;
    if (st != SEC_E_OK && st != SEC_I_RENEGOTIATE && st != SEC_I_CONTEXT_EXPIRED) {
        WSASetLastError(WSAECONNABORTED);
        return DEC_ERROR;
    }
    const SecBuffer *data = NULL, *extra = NULL;
    for (int i = 1; i < 4; i++) {
        if (b[i].BufferType == SECBUFFER_DATA && !data) data = &b[i];
        if (b[i].BufferType == SECBUFFER_EXTRA && !extra) extra = &b[i];
    }
    if (data && data->cbBuffer) TakePlain(c, data, buf, n, got);
    // Copied out above before this move: the plaintext lay in c->in.
    if (!KeepExtra(c, extra)) c->inLen = 0;
    // Wine's Schannel returns an empty success for the peer's close_notify
    // rather than SEC_I_CONTEXT_EXPIRED; an alert record (type 21) that
    // decrypts to nothing and is no error can only be that.
    if (st == SEC_E_OK && recordType == 21 && !(data && data->cbBuffer)) st = SEC_I_CONTEXT_EXPIRED;
    return RecordEnd(c, st);
}

// Winsock posts FD_READ only for data in its own buffer: what waits
// here is announced the same way, once until the next receive.
// The peer may wait for our close_notify before it closes the socket,
// so Winsock would never post FD_CLOSE: its close_notify is the close.
static void PostWaiting(TlsConn *c, int peek) {
    if (c->peerClosed && !c->closePosted && !peek) {
        c->closePosted = true;
        NetPostEvent(c->s, FD_CLOSE);
    }
    if ((c->plainPos < c->plain.size() || RecordWaits(c)) && !c->peerClosed && !c->readPosted) {
        c->readPosted = true;
        NetPostEvent(c->s, FD_READ);
    }
}

long TlsRecv(TlsConn *c, void *buf, size_t n, int peek) {
    c->readPosted = false;
    size_t got = 0;
    while (c->plainPos == c->plain.size() && got == 0 && !c->peerClosed) {
        DecryptEnd d = c->inLen ? DecryptOne(c, peek ? NULL : (char *)buf, n, &got) : DEC_MORE;
        if (d == DEC_ERROR) return -1;
        if (d != DEC_MORE) continue;
        if (c->inLen == c->in.size()) c->in.resize(c->in.size() * 2);  // a record bigger than announced
        int r = recv(c->s, c->in.data() + c->inLen, (int)(c->in.size() - c->inLen), 0);
        if (r == 0) {
            // The stream ended without close_notify: the data may be cut short.
            WSASetLastError(WSAECONNRESET);
            return -1;
        }
        if (r == SOCKET_ERROR) return -1;
        c->inLen += (size_t)r;
    }
    if (got == 0 && c->plainPos < c->plain.size()) {
        size_t left = c->plain.size() - c->plainPos;
        got = left < n ? left : n;
        memcpy(buf, c->plain.data() + c->plainPos, got);
        if (!peek) c->plainPos += got;
    }
    if (c->plainPos == c->plain.size() && c->plainPos) {
        c->plain.clear();
        c->plainPos = 0;
    }
    PostWaiting(c, peek);
    if (got > 0) c->gotData = true;
    return (long)got;
}

// Encrypts src (part bytes, at most one record's) behind what c->out
// holds already, which has room for a whole record. false on failure.
static bool EncryptRecord(TlsConn *c, const char *src, size_t part) {
    size_t header = c->sizes.cbHeader, trailer = c->sizes.cbTrailer;
    char *p = c->out.data() + c->outLen;
    memcpy(p + header, src, part);
    SecBuffer b[4];
    SetBuffer(&b[0], SECBUFFER_STREAM_HEADER, header, p);
    SetBuffer(&b[1], SECBUFFER_DATA, part, p + header);
    SetBuffer(&b[2], SECBUFFER_STREAM_TRAILER, trailer, p + header + part);
    SetBuffer(&b[3], SECBUFFER_EMPTY, 0, NULL);
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
    if (EncryptMessage(&c->ctx, 0, &desc, 0) != SEC_E_OK) return false;
    c->outLen += b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer;
    return true;
}

long TlsSend(TlsConn *c, const void *buf, size_t n) {
    int e = Flush(c);
    if (e) {
        WSASetLastError(e);
        return -1;
    }
    const char *src = (const char *)buf;
    size_t done = 0, most = c->sizes.cbMaximumMessage;
    size_t record = c->sizes.cbHeader + most + c->sizes.cbTrailer;
    while (done < n && c->outLen + record <= c->out.size()) {
        size_t part = n - done < most ? n - done : most;
        if (!EncryptRecord(c, src + done, part)) {
            if (done) break;
            WSASetLastError(WSAECONNABORTED);
            return -1;
        }
        done += part;
    }
    // Counted as sent even when the OS takes only part: the rest is sent
    // first thing next time, or at the close.
    c->outPos = 0;
    e = Flush(c);
    if (e && e != WSAEWOULDBLOCK) {
        WSASetLastError(e);
        return -1;
    }
    return (long)done;
}

// After close_notify: waits a little for the peer to close, dropping what
// it still sends. A socket closed with unread data is reset, and a reset
// makes the peer's system discard what it has not read yet: the end of an
// upload.
static void Linger(SOCKET s, DWORD start) {
    shutdown(s, SD_SEND);
    char scrap[4096];
    for (;;) {
        int r = recv(s, scrap, sizeof scrap, 0);
        if (r > 0) continue;
        if (r == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return;
        DWORD spent = GetTickCount() - start;
        if (spent >= 2000) return;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        DWORD left = 2000 - spent;
        timeval wait = {(long)(left / 1000), (long)(left % 1000) * 1000};
        if (select(0, &readable, NULL, NULL, &wait) <= 0) return;
    }
}

void TlsClose(TlsConn *c, int notify) {
    if (!notify) {
        FreeConn(c);
        return;
    }
    DWORD start = GetTickCount();
    int e = 0;
    if (c->outPos < c->outLen)
        e = SendAll(c->s, c->out.data() + c->outPos, c->outLen - c->outPos, start, CLOSE_LIMIT_MS);
    if (!e && c->hasCtx) {
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer b = {sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc desc = {SECBUFFER_VERSION, 1, &b};
        if (ApplyControlToken(&c->ctx, &desc) == SEC_E_OK) {
            SecBuffer outb = {0, SECBUFFER_TOKEN, NULL};
            SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &outb};
            ULONG attr = 0;
            TimeStamp expiry;
            SECURITY_STATUS st = InitializeSecurityContextA(&c->cred->h, &c->ctx, (SEC_CHAR *)c->target.c_str(),
                                                            ISC_FLAGS, 0, 0, NULL, 0, &c->ctx, &outDesc,
                                                            &attr, &expiry);
            if (outb.pvBuffer) {
                if ((st == SEC_E_OK || st == SEC_I_CONTEXT_EXPIRED) && outb.cbBuffer)
                    SendAll(c->s, (const char *)outb.pvBuffer, outb.cbBuffer, start, CLOSE_LIMIT_MS);
                FreeContextBuffer(outb.pvBuffer);
            }
        }
    }
    // Only a connection that carried nothing back can be an upload the
    // peer is still reading; on the others the peer has read all we sent.
    if (!c->gotData) Linger(c->s, start);
    FreeConn(c);
}
