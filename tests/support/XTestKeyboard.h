#pragma once

#include <QtGlobal>

#include <vector>

struct xcb_connection_t;

// Types on the X server of $DISPLAY through the XTEST extension, as a keyboard
// would: what global key listeners and grabs of the program then receive.
class XTestKeyboard {
public:
    // One key change: a key symbol (X11/keysymdef.h) pressed or released.
    struct Key {
        quint32 keysym;
        bool press;
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

namespace keysym {
constexpr quint32 ControlL = 0xffe3;
constexpr quint32 ControlR = 0xffe4;
constexpr quint32 ShiftL = 0xffe1;
constexpr quint32 SuperL = 0xffeb;
constexpr quint32 C = 0x63;
constexpr quint32 J = 0x6a;
constexpr quint32 X = 0x78;
} // namespace keysym
