// Passwords kept outside the script: the environment, the netrc file and
// the Secret Service (through libsecret, loaded when first asked, so that
// runs that never ask need neither it nor a session bus).
#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/text.h"
#include "platform/platform.h"

int PlatEnvironment(const char *name, char *out, size_t size) {
    const char *v = getenv(name);
    if (v == nullptr) return 0;
    CopyCut(out, size, v);
    return 1;
}

// ---- netrc ---------------------------------------------------------------------------

static std::string NetrcPath() {
    const char *given = getenv("NETRC");
    if (given != nullptr && given[0] != 0) return given;
    const char *home = getenv("HOME");
    if (home == nullptr || home[0] == 0) {
        struct passwd *pw = getpwuid(getuid());
        home = pw != nullptr ? pw->pw_dir : "";
    }
    return std::string(home) + "/.netrc";
}

int PlatReadNetrc(char *path, size_t pathSize, char *out, size_t size, char *why, size_t whySize) {
    std::string name = NetrcPath();
    CopyCut(path, pathSize, name.c_str());
    FILE *f = fopen(name.c_str(), "rb");
    if (f == nullptr) {
        FormatCut(why, whySize, "netrc %s cannot be read (%s)", name.c_str(), strerror(errno));
        return 0;
    }
    struct stat st;
    int ok = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
    // A password others may read is no secret: ftp(1) refuses such a file too.
    if (ok && (st.st_mode & 077) != 0) {
        FormatCut(why, whySize, "netrc %s may be used by group or others (mode %04o): chmod 600 it",
                  name.c_str(), (unsigned)(st.st_mode & 07777));
        fclose(f);
        return 0;
    }
    size_t got = ok && size > 0 ? fread(out, 1, size - 1, f) : 0;
    int longer = ok && got == size - 1 && fgetc(f) != EOF;
    ok = ok && !ferror(f) && !longer;
    fclose(f);
    if (!ok) {
        memset(out, 0, size);
        FormatCut(why, whySize, "netrc %s is %s", name.c_str(), longer ? "too long" : "no readable file");
        return 0;
    }
    out[got] = 0;
    return 1;
}

// ---- the Secret Service ------------------------------------------------------------------

namespace {

// libsecret's own declarations, as its headers give them: a schema of
// string attributes, matched whatever schema an item was stored under.
struct SecretError {
    uint32_t domain;
    int code;
    char *message;
};
struct SecretAttribute {
    const char *name;
    int type;  // 0: a string
};
struct SecretSchema {
    const char *name;
    int flags;
    SecretAttribute attributes[32];
    int reserved;
    void *reserved1, *reserved2, *reserved3, *reserved4, *reserved5, *reserved6, *reserved7;
};
enum { DONT_MATCH_NAME = 1 << 1 };
typedef char *(*LookupSync)(const SecretSchema *, void *cancellable, SecretError **error, ...);
typedef void (*FreeText)(char *);
typedef void (*FreeError)(SecretError *);

struct Secrets {
    LookupSync lookup;
    FreeText freePassword;
    FreeError freeError;
};

const Secrets *LoadSecrets() {
    static Secrets s;
    static int tried;
    if (tried) return s.lookup ? &s : nullptr;
    tried = 1;
    void *lib = dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return nullptr;
    s.lookup = reinterpret_cast<LookupSync>(dlsym(lib, "secret_password_lookup_sync"));
    s.freePassword = reinterpret_cast<FreeText>(dlsym(lib, "secret_password_free"));
    s.freeError = reinterpret_cast<FreeError>(dlsym(lib, "g_error_free"));
    if (!s.freePassword || !s.freeError) s.lookup = nullptr;
    return s.lookup ? &s : nullptr;
}

int HasSessionBus() {
    const char *address = getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && address[0] != 0) return 1;
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    struct stat st;
    return runtime != nullptr && stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// One look-up on a thread of its own, so that a service that does not
// answer costs the run a bounded wait; the thread, if left behind, owns
// everything it uses.
struct Lookup {
    std::mutex m;
    std::condition_variable done;
    int finished = 0;
    std::string host, user, password, error;
    int found = 0;
};

void RunLookup(const Secrets *s, std::shared_ptr<Lookup> l) {
    static const SecretSchema Schema = {
        "org.qelta.Password", DONT_MATCH_NAME, {{"service", 0}, {"host", 0}, {"user", 0}}, 0,
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    SecretError *error = nullptr;
    char *p = s->lookup(&Schema, nullptr, &error, "service", "qelta", "host", l->host.c_str(), "user",
                        l->user.c_str(), (char *)nullptr);
    std::lock_guard<std::mutex> hold(l->m);
    if (p != nullptr) {
        l->password = p;
        l->found = 1;
        memset(p, 0, strlen(p));
        s->freePassword(p);
    }
    if (error != nullptr) {
        l->error = error->message ? error->message : "an error";
        s->freeError(error);
    }
    l->finished = 1;
    l->done.notify_all();
}

}  // namespace

static int FromSecretService(const char *host, const char *user, char *out, size_t size, char *why,
                             size_t whySize) {
    const char *item = "the Secret Service";
    if (!HasSessionBus()) {
        FormatCut(why, whySize, "%s cannot be asked: there is no session bus (DBUS_SESSION_BUS_ADDRESS is not set, "
                  "as under cron)", item);
        return 0;
    }
    const Secrets *s = LoadSecrets();
    if (s == nullptr) {
        FormatCut(why, whySize, "%s cannot be asked: libsecret-1.so.0 cannot be loaded", item);
        return 0;
    }
    auto l = std::make_shared<Lookup>();
    l->host = host;
    l->user = user;
    std::thread(RunLookup, s, l).detach();
    std::unique_lock<std::mutex> hold(l->m);
    if (!l->done.wait_for(hold, std::chrono::seconds(10), [&] { return l->finished != 0; })) {
        FormatCut(why, whySize, "%s did not answer within 10 seconds", item);
        return 0;
    }
    int ok = l->found && l->password.size() + 1 <= size && CopyCut(out, size, l->password.c_str());
    if (!ok && l->found) FormatCut(why, whySize, "the password for %s at %s in %s is too long", user, host, item);
    if (!l->found)
        FormatCut(why, whySize, "%s has no item with service=qelta host=%s user=%s%s%s", item, host, user,
                  l->error.empty() ? "" : ": ", l->error.c_str());
    std::fill(l->password.begin(), l->password.end(), '\0');
    return ok;
}

int PlatStoredPassword(int store, const char *host, const char *user, char *out, size_t size, char *why,
                       size_t whySize) {
    if (store == QSTORE_SECRETS) return FromSecretService(host, user, out, size, why, whySize);
    FormatCut(why, whySize, "the Credential Manager is Windows' (on Linux, PasswordSource=SecretService)");
    return 0;
}
