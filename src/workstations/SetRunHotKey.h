#pragma once

#include <functional>
#include <string>

namespace zenta {

// The two global hot keys: Ctrl+Shift+M starts the cashier program, Ctrl+Shift+F12 switches the
// computer off. They are grabbed on the X11 root window through a display connection of their
// own; the program watches HotKeyConnection() and calls DispatchHotKeys() when it is readable.
// Without X11 (no display, Wayland) nothing is installed.
bool SetHotKeys();
void UnsetHotKeys();
bool HotKeysInstalled();
// The display connection's file descriptor, -1 when there is none.
int HotKeyConnection();
// Handles the pending key events.
void DispatchHotKeys();

// Starts "ZentaMarket.exe" from the program folder in a normal window.
void RunMarket();

// What the shutdown hot key does; tests put a recorder here.
void SetHotKeyActions(std::function<void()> runMarket, std::function<void()> powerOff);

} // namespace zenta
