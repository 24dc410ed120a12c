// The windows of the POSIX build: small records that say which procedure
// a window's messages go to, and hold what the Windows build would show
// (caption, fields, place, icon). Handles are serial numbers, never
// reused, so a message for a destroyed window can never reach a new one.
#include <cstring>

#include "base/text.h"
#include "platform/posix/posix_internal.h"

namespace {

struct Field {
    int id;
    char text[256];  // longer texts are cut: no field of the dialog is wider
};

enum { MaxWindows = 32, MaxFields = 24 };

struct WindowRec {
    uintptr_t handle;  // 0 = free slot
    LoopProc proc;
    uintptr_t owner;
    int frame;  // the main window: default processing of close requests
    int visible;
    int x, y, width, height;
    char caption[256];
    char icon[32];
    Field fields[MaxFields];
    int fieldCount;
};

WindowRec Windows[MaxWindows];
uintptr_t LastHandle = 0;
uintptr_t MainHandle = 0, DialogHandleSeen = 0;

// The dialog's size in pixels on the Windows build, so that the main
// window's size follows the same rule here.
const int DialogWidth = 263, DialogHeight = 200, MenuBarHeight = 19;

}  // namespace

static uintptr_t HandleOf(PlatWindow w) { return (uintptr_t)w; }
static PlatWindow WindowOf(uintptr_t h) { return (PlatWindow)h; }

static WindowRec *Find(PlatWindow w) {
    uintptr_t h = HandleOf(w);
    if (h == 0) return nullptr;
    for (auto &r : Windows)
        if (r.handle == h) return &r;
    return nullptr;
}

int WindowExists(PlatWindow w) { return Find(w) != nullptr; }
PlatWindow WindowMain(void) { return WindowOf(Find(WindowOf(MainHandle)) ? MainHandle : 0); }
PlatWindow WindowDialog(void) {
    return WindowOf(Find(WindowOf(DialogHandleSeen)) ? DialogHandleSeen : 0);
}

static WindowRec *NewWindow(LoopProc proc, uintptr_t owner) {
    for (auto &r : Windows) {
        if (r.handle != 0) continue;
        memset(&r, 0, sizeof r);
        r.handle = ++LastHandle;
        r.proc = proc;
        r.owner = owner;
        return &r;
    }
    return nullptr;
}

PlatWindow LoopCreateWindow(LoopProc proc) {
    WindowRec *r = NewWindow(proc, 0);
    return r ? WindowOf(r->handle) : nullptr;
}

// ---- delivery and the main window's default processing ----------------------

static void DefaultSysCommand(PlatWindow w, uintptr_t wp) {
    if (wp == QSC_CLOSE) WindowDeliver(w, QM_CLOSE, 0, 0);
}

static void DefaultClose(PlatWindow w, uintptr_t wp) { PlatDestroyWindow(w); }

static const struct {
    unsigned msg;
    void (*run)(PlatWindow w, uintptr_t wp);
} DefaultProcessing[] = {
    {QM_SYSCOMMAND, DefaultSysCommand},
    {QM_CLOSE, DefaultClose},
};

int WindowDeliver(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp) {
    WindowRec *r = Find(w);
    if (!r) return 0;
    int handled = r->proc ? r->proc(w, msg, wp, lp) : 0;
    if (handled) return handled;
    r = Find(w);  // the procedure may have destroyed it
    if (!r || !r->frame) return handled;
    for (const auto &d : DefaultProcessing)
        if (d.msg == msg) d.run(w, wp);
    return handled;
}

// ---- windows ------------------------------------------------------------------------

int PlatRegisterMainClass(void *instance) { return 1; }

PlatWindow PlatCreateMainWindow(void *instance) {
    WindowRec *r = NewWindow(MainWndProc, 0);
    if (!r) return nullptr;
    r->frame = 1;
    MainHandle = r->handle;
    PlatWindow w = WindowOf(r->handle);
    WindowDeliver(w, QM_CREATE, 0, 0);
    return WindowExists(w) ? w : nullptr;
}

PlatWindow PlatCreateTransferDialog(void *instance, PlatWindow main) {
    WindowRec *r = NewWindow(Dialog1, HandleOf(main));
    if (!r) return nullptr;
    r->width = DialogWidth;
    r->height = DialogHeight;
    DialogHandleSeen = r->handle;
    PlatWindow dlg = WindowOf(r->handle);
    DisplayAttach(dlg);
    WindowDeliver(dlg, QM_INITDIALOG, 0, 0);
    return WindowExists(dlg) ? dlg : nullptr;
}

void PlatShowWindow(PlatWindow w, int show) {
    WindowRec *r = Find(w);
    if (r) r->visible = show != 0;
}

// Owned windows go first, as on Windows; then the window's timers and
// queued messages, so that nothing of it is delivered afterwards.
void PlatDestroyWindow(PlatWindow w) {
    WindowRec *r = Find(w);
    if (!r) return;
    WindowDeliver(w, QM_DESTROY, 0, 0);
    for (auto &child : Windows)
        if (child.handle != 0 && child.owner == HandleOf(w)) PlatDestroyWindow(WindowOf(child.handle));
    if (HandleOf(w) == DialogHandleSeen) DisplayDetach();
    LoopForgetWindow(w);
    r = Find(w);
    if (r) r->handle = 0;
}

PlatWindow PlatOwner(PlatWindow w) {
    WindowRec *r = Find(w);
    return r ? WindowOf(r->owner) : nullptr;
}

// ---- fields and look ----------------------------------------------------------------

static Field *FindField(WindowRec *r, int id, int create) {
    for (int i = 0; i < r->fieldCount; i++)
        if (r->fields[i].id == id) return &r->fields[i];
    if (!create || r->fieldCount == MaxFields) return nullptr;
    Field *f = &r->fields[r->fieldCount++];
    f->id = id;
    f->text[0] = 0;
    return f;
}

void PlatSetField(PlatWindow dlg, int id, const char *text) {
    WindowRec *r = Find(dlg);
    if (!r) return;
    Field *f = FindField(r, id, 1);
    if (!f) return;
    const char *value = text ? text : "";
    if (strncmp(f->text, value, sizeof f->text) == 0) return;
    COPYCUT(f->text, value);
    DisplayFieldChanged(dlg, id);
}

const char *LoopFieldText(PlatWindow w, int id) {
    WindowRec *r = Find(w);
    Field *f = r ? FindField(r, id, 0) : nullptr;
    return f ? f->text : "";
}

void PlatSetCaption(PlatWindow w, const char *text) {
    WindowRec *r = Find(w);
    if (!r) return;
    const char *value = text ? text : "";
    if (strncmp(r->caption, value, sizeof r->caption) == 0) return;
    COPYCUT(r->caption, value);
    DisplayCaption(w, r->caption);
}

void PlatFitOwnerToDialog(PlatWindow dlg) {
    WindowRec *r = Find(dlg);
    WindowRec *owner = r ? Find(WindowOf(r->owner)) : nullptr;
    if (!owner) return;
    owner->width = r->width;
    owner->height = r->height + MenuBarHeight;
}

// There is no desktop; this size centres the main window where it would
// stand on a common screen.
void PlatDesktopSize(int *width, int *height) {
    *width = 1024;
    *height = 768;
}

void PlatMoveWindow(PlatWindow w, int x, int y) {
    WindowRec *r = Find(w);
    if (!r) return;
    r->x = x;
    r->y = y;
}

void PlatRaiseWindow(PlatWindow w) {}
void PlatSetFocus(PlatWindow w) {}
int PlatIsIconic(PlatWindow w) { return 0; }

PlatWindow PlatCreateIconWindow(PlatWindow dlg, void *instance, const char *iconName, int x,
                                int y) {
    if (!WindowExists(dlg)) return nullptr;
    WindowRec *r = NewWindow(nullptr, HandleOf(dlg));
    if (!r) return nullptr;
    COPYCUT(r->icon, iconName ? iconName : "");
    r->x = x;
    r->y = y;
    r->visible = 1;
    return WindowOf(r->handle);
}

int Plat3DStart(void *instance) { return 0; }
void Plat3DStop(void *instance) {}
