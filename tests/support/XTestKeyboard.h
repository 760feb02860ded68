#pragma once

#include <QtGlobal>

#include <vector>

struct xcb_connection_t;

// Types on the X server of $DISPLAY through the XTEST extension, as a keyboard
// would: what global key listeners and grabs of the program then receive.
class XTestKeyboard {
public:
    // One key change: a key symbol (X11/keysymdef.h) pressed or released, after
    // the server has waited `delayMs` since the previous change (XTEST's own delay:
    // the events carry the server's times).
    struct Key {
        quint32 keysym;
        bool press;
        quint32 delayMs = 0;
    };

    XTestKeyboard();
    ~XTestKeyboard();
    XTestKeyboard(const XTestKeyboard&) = delete;
    XTestKeyboard& operator=(const XTestKeyboard&) = delete;

    // Whether a display with XTEST is there.
    bool isOpen() const;
    // Sends the keys, then waits until the server has handled them.
    void send(const std::vector<Key>& keys);
    // Press and release of one key.
    void tap(quint32 keysym);
    // Grabs `keysym` with the Super modifier (Mod4) on the root window, as another
    // program reserving the combination would. Returns whether the server agreed.
    bool grabWithSuper(quint32 keysym);
    // A round trip: every request sent before has been handled.
    void sync();

private:
    quint8 keycodeOf(quint32 keysym);

    xcb_connection_t* connection_ = nullptr;
    bool xtest_ = false;
};

// Another program holding an active grab of the keyboard, as an open menu or a
// drag does: on a connection of its own, every key typed goes to it.
class KeyboardGrab {
public:
    KeyboardGrab();
    ~KeyboardGrab();
    KeyboardGrab(const KeyboardGrab&) = delete;
    KeyboardGrab& operator=(const KeyboardGrab&) = delete;

    // Whether the server granted the grab.
    bool isGranted() const { return granted_; }
    // Whether the grab is still held: a grab asked for by a third connection is
    // refused as already taken.
    bool isHeld() const;
    // Key presses delivered to the grabbing connection so far (every key typed
    // while the grab is held ends up here, not with the program under test).
    int keyPressesReceived();
    void release();

private:
    xcb_connection_t* connection_ = nullptr;
    bool granted_ = false;
    int presses_ = 0;
};

namespace keysym {
constexpr quint32 ControlL = 0xffe3;
constexpr quint32 ControlR = 0xffe4;
constexpr quint32 ShiftL = 0xffe1;
constexpr quint32 SuperL = 0xffeb;
constexpr quint32 C = 0x63;
constexpr quint32 J = 0x6a;
constexpr quint32 N = 0x6e;
constexpr quint32 V = 0x76;
constexpr quint32 X = 0x78;
} // namespace keysym
