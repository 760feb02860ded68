#pragma once

#include "app/SummonSources.h"

#include <QSet>
#include <QSocketNotifier>

#include <memory>

struct xcb_connection_t;
typedef struct _XCBKeySymbols xcb_key_symbols_t;

// The summon sources of an X11 desktop. Each keeps a private xcb connection to
// $DISPLAY, read on the GUI thread through a QSocketNotifier.

// Whether global key listening is possible: an X11 session (not Wayland) whose
// server has XInput 2.0 or later. The server is asked once per display name; the
// answer is kept for the life of the process.
bool x11GlobalKeysAvailable();

// Listens to the raw key presses and releases of every application through XInput2
// on the root window. It only listens: nothing is grabbed, no event is delayed or
// changed. The Control keys play the Command keys' role; Shift, Alt, AltGr, Super
// (and Meta, Hyper) are the other modifiers; Caps Lock and Num Lock are ignored;
// auto-repeated presses, and releases of keys it did not see go down, are dropped.
//
// The connection announces XInput 2.2. From 2.1 on, the server sends raw events to
// every client that selected them, also while another client holds a grab on the
// keyboard (an open menu, a drag, our own popover); a 2.0 client gets none of them
// during such a grab.
class X11SummonKeySource : public SummonKeySource {
    Q_OBJECT
public:
    static constexpr quint32 kRequestedMajor = 2;
    static constexpr quint32 kRequestedMinor = 2;

    // Null when the display cannot be opened or lacks XInput 2.0.
    static std::unique_ptr<X11SummonKeySource> create();
    ~X11SummonKeySource() override;

    // True when the server agreed to XInput 2.1 or later.
    bool reportsEveryKeyEvent() const override;
    // Reads and handles what is waiting on the connection (also done by the notifier).
    void readEvents();

private:
    X11SummonKeySource(xcb_connection_t* connection, quint8 inputOpcode, quint32 minorVersion);
    void handleRawKey(quint32 keycode, bool press, quint32 time, quint32 flags);

    xcb_connection_t* connection_;
    xcb_key_symbols_t* symbols_;
    quint8 inputOpcode_;
    quint32 minorVersion_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QSet<quint32> keysDown_;
    QSet<quint32> otherModifiersDown_;
    SummonClock clock_;
};

// The fallback alias Super+J, grabbed on the root window with every combination of
// Caps Lock and Num Lock. A grab the server refuses (another client holds it) leaves
// the alias unregistered.
class X11SummonHotKey : public SummonHotKey {
    Q_OBJECT
public:
    // Null when the display cannot be opened.
    static std::unique_ptr<X11SummonHotKey> create();
    ~X11SummonHotKey() override;

    bool isRegistered() const override { return registered_; }
    void readEvents();

private:
    explicit X11SummonHotKey(xcb_connection_t* connection);
    void grab();

    xcb_connection_t* connection_;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool registered_ = false;
    quint8 keycode_ = 0;
    quint32 lastReleaseTime_ = 0;
};

// The keys typed into the program's own windows, seen by an event filter on the
// application: works on every desktop, only while a window of ours has the focus.
class LocalSummonKeySource : public SummonKeySource {
    Q_OBJECT
public:
    LocalSummonKeySource();
    ~LocalSummonKeySource() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    SummonClock clock_;
};

// The desktop platform: X11 sources where an X11 display is usable, the local
// source everywhere.
class DesktopSummonPlatform : public SummonPlatform {
public:
    bool hasGlobalPermission() override;
    std::unique_ptr<SummonKeySource> createGlobalSource() override;
    std::unique_ptr<SummonKeySource> createLocalSource() override;
    std::unique_ptr<SummonHotKey> createHotKey() override;
};
