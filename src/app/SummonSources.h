#pragma once

#include <QObject>

#include <memory>

// What the summon monitor listens to, behind small interfaces so that tests can
// drive the monitor with fakes and the real sources can be swapped per desktop.

// A stream of key events for the double-tap rule: Command (Control) key presses and
// releases with the other modifiers held, and ordinary key presses.
class SummonKeySource : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Whether every press and release of the keyboard reaches this source, also
    // while another program holds a keyboard grab (an open menu, a drag). A source
    // that can miss events gets the double-tap rule's recovery from lost releases.
    virtual bool reportsEveryKeyEvent() const { return false; }

signals:
    // A Command key (54 right, 55 left) went down or up; `timestamp` in seconds on
    // a monotonic clock of the source.
    void commandKeyChanged(quint16 keyCode, bool hasOtherModifiers, double timestamp);
    // An ordinary key (not a modifier) went down.
    void otherKeyDown();
};

// The fallback alias: one key combination reserved for the program desktop-wide.
class SummonHotKey : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Whether the desktop accepted the reservation (another program may hold it).
    virtual bool isRegistered() const = 0;

signals:
    void pressed();
};

// The desktop's facilities for the monitor.
class SummonPlatform {
public:
    virtual ~SummonPlatform() = default;
    // Whether a global key source can listen to every application right now.
    virtual bool hasGlobalPermission() = 0;
    // Asks the desktop for that access where it can be asked; nothing to ask on X11.
    virtual void requestGlobalPermission() {}
    // The global source, or null when it cannot be created.
    virtual std::unique_ptr<SummonKeySource> createGlobalSource() = 0;
    // The source that sees the keys typed into the program's own windows.
    virtual std::unique_ptr<SummonKeySource> createLocalSource() = 0;
    // The fallback alias, or null where none can be reserved (no X11 display).
    virtual std::unique_ptr<SummonHotKey> createHotKey() = 0;
};

// Converts a 32-bit millisecond clock that wraps (X server time) into seconds that
// keep increasing.
class SummonClock {
public:
    double seconds(quint32 milliseconds);

private:
    bool started_ = false;
    quint32 last_ = 0;
    quint64 total_ = 0;
};
