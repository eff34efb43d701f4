#include "SetRunHotKey.h"

#include "ApagarOrdenador.h"
#include "ErrorMode.h"
#include "Globals.h"
#include "Process.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace zenta {

namespace {

struct State {
    Display* display = nullptr;
    int runKey = 0, shutdownKey = 0;
    bool installed = false;
    std::function<void()> runMarket;
    std::function<void()> powerOff;
};

State& S() {
    static State s;
    return s;
}

// NumLock and CapsLock must not stop the keys: each is grabbed with every lock combination.
constexpr unsigned kModifiers = ControlMask | ShiftMask;
const unsigned kLockCombinations[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};

int IgnoreXErrors(Display*, XErrorEvent*) {
    return 0;
}

void Grab(Display* d, int keycode, bool grab) {
    Window root = DefaultRootWindow(d);
    for (unsigned locks : kLockCombinations) {
        if (grab)
            XGrabKey(d, keycode, kModifiers | locks, root, True, GrabModeAsync, GrabModeAsync);
        else
            XUngrabKey(d, keycode, kModifiers | locks, root);
    }
}

} // namespace

void SetHotKeyActions(std::function<void()> runMarket, std::function<void()> powerOff) {
    S().runMarket = std::move(runMarket);
    S().powerOff = std::move(powerOff);
}

bool SetHotKeys() {
    UnsetHotKeys();
    State& s = S();
    if (!s.display) {
        s.display = XOpenDisplay(nullptr);
        if (!s.display)
            return false;
        XSetErrorHandler(IgnoreXErrors);
    }
    s.runKey = XKeysymToKeycode(s.display, XK_m);
    s.shutdownKey = XKeysymToKeycode(s.display, XK_F12);
    // A combination another program holds simply stays inactive here.
    Grab(s.display, s.runKey, true);
    Grab(s.display, s.shutdownKey, true);
    XSync(s.display, False);
    s.installed = true;
    return true;
}

void UnsetHotKeys() {
    State& s = S();
    if (!s.installed || !s.display)
        return;
    Grab(s.display, s.runKey, false);
    Grab(s.display, s.shutdownKey, false);
    XSync(s.display, False);
    s.installed = false;
}

bool HotKeysInstalled() {
    return S().installed;
}

int HotKeyConnection() {
    return S().display ? ConnectionNumber(S().display) : -1;
}

void DispatchHotKeys() {
    State& s = S();
    if (!s.display)
        return;
    while (XPending(s.display) > 0) {
        XEvent e;
        XNextEvent(s.display, &e);
        if (e.type != KeyPress || !s.installed)
            continue;
        const unsigned state = e.xkey.state & ~(LockMask | Mod2Mask);
        if (state != kModifiers)
            continue;
        const int key = static_cast<int>(e.xkey.keycode);
        if (key == s.runKey) {
            if (s.runMarket)
                s.runMarket();
            else
                RunMarket();
        } else if (key == s.shutdownKey) {
            if (s.powerOff)
                s.powerOff();
            else
                PowerOffComputer();
        }
    }
}

void RunMarket() {
    if (!StartProgram("ZentaMarket.exe", {}, Globals::AppPath))
        WriteProgramLog("RunMarket: ZentaMarket.exe cannot be started");
}

} // namespace zenta
