#include "app/SummonX11.h"

#include "app/DoubleCommandTap.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QHash>
#include <QKeyEvent>
#include <QPointer>
#include <QWindow>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xinput.h>

#include <cstdlib>

namespace {

// Key symbols (X11/keysymdef.h).
constexpr quint32 kXkControlL = 0xffe3;
constexpr quint32 kXkControlR = 0xffe4;
constexpr quint32 kXkSuperL = 0xffeb;
constexpr quint32 kXkNumLock = 0xff7f;
constexpr quint32 kXkJ = 0x006a;

enum class KeyRole { Command, OtherModifier, Ignored, Ordinary };

KeyRole roleOf(quint32 keysym) {
    switch (keysym) {
    case kXkControlL:
    case kXkControlR:
        return KeyRole::Command;
    case 0xffe1: // Shift_L
    case 0xffe2: // Shift_R
    case 0xffe7: // Meta_L
    case 0xffe8: // Meta_R
    case 0xffe9: // Alt_L
    case 0xffea: // Alt_R
    case 0xffeb: // Super_L
    case 0xffec: // Super_R
    case 0xffed: // Hyper_L
    case 0xffee: // Hyper_R
    case 0xfe03: // ISO_Level3_Shift (AltGr)
    case 0xfe11: // ISO_Level5_Shift
    case 0xff7e: // Mode_switch
        return KeyRole::OtherModifier;
    case 0xffe5: // Caps_Lock
    case 0xffe6: // Shift_Lock
    case kXkNumLock:
        return KeyRole::Ignored;
    default:
        return KeyRole::Ordinary;
    }
}

bool waylandSession() {
    return qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// A connection to $DISPLAY, or null (never a connection in error).
xcb_connection_t* connectToDisplay() {
    if (qEnvironmentVariableIsEmpty("DISPLAY") || waylandSession())
        return nullptr;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return nullptr;
    }
    return connection;
}

xcb_window_t rootWindow(xcb_connection_t* connection) {
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

struct XInputVersion {
    quint8 opcode = 0; // 0: no XInput 2
    quint32 minor = 0;
};

// Announces XInput 2.2 on the connection (the server then treats this client as a
// 2.2 client) and returns the version agreed on; no opcode below 2.0.
XInputVersion negotiateXInput2(xcb_connection_t* connection) {
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_input_id);
    if (!extension || !extension->present)
        return {};
    auto cookie = xcb_input_xi_query_version(connection, X11SummonKeySource::kRequestedMajor,
                                             X11SummonKeySource::kRequestedMinor);
    xcb_input_xi_query_version_reply_t* reply = xcb_input_xi_query_version_reply(connection, cookie, nullptr);
    if (!reply)
        return {};
    XInputVersion version;
    if (reply->major_version >= 2) {
        version.opcode = extension->major_opcode;
        version.minor = reply->major_version > 2 ? 99 : reply->minor_version;
    }
    std::free(reply);
    return version;
}

// The modifier mask (1 << index) whose keys include `keysym`, or `fallback`.
quint16 modifierMaskOf(xcb_connection_t* connection, xcb_key_symbols_t* symbols, quint32 keysym,
                       quint16 fallback) {
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, keysym);
    if (!codes)
        return fallback;
    quint16 mask = fallback;
    auto cookie = xcb_get_modifier_mapping(connection);
    if (xcb_get_modifier_mapping_reply_t* reply =
            xcb_get_modifier_mapping_reply(connection, cookie, nullptr)) {
        const xcb_keycode_t* map = xcb_get_modifier_mapping_keycodes(reply);
        const int perModifier = reply->keycodes_per_modifier;
        for (int modifier = 0; modifier < 8; ++modifier) {
            for (int i = 0; i < perModifier; ++i) {
                const xcb_keycode_t code = map[modifier * perModifier + i];
                for (xcb_keycode_t* c = codes; code != 0 && *c != XCB_NO_SYMBOL; ++c) {
                    if (*c == code)
                        mask = quint16(1u << modifier);
                }
            }
        }
        std::free(reply);
    }
    std::free(codes);
    return mask;
}

} // namespace

double SummonClock::seconds(quint32 milliseconds) {
    if (started_)
        total_ += quint32(milliseconds - last_);
    else
        total_ = milliseconds;
    started_ = true;
    last_ = milliseconds;
    return double(total_) / 1000.0;
}

bool x11GlobalKeysAvailable() {
    if (qEnvironmentVariableIsEmpty("DISPLAY") || waylandSession())
        return false;
    // Asked on every activation of the program: a connection and two round trips
    // on the GUI thread each time would be wasted, the answer does not change.
    static QHash<QString, bool> answers;
    const QString display = qEnvironmentVariable("DISPLAY");
    if (const auto known = answers.constFind(display); known != answers.constEnd())
        return *known;
    bool ok = false;
    if (xcb_connection_t* connection = connectToDisplay()) {
        ok = negotiateXInput2(connection).opcode != 0;
        xcb_disconnect(connection);
    }
    answers.insert(display, ok);
    return ok;
}

// ---- Raw key source -----------------------------------------------------------

std::unique_ptr<X11SummonKeySource> X11SummonKeySource::create() {
    xcb_connection_t* connection = connectToDisplay();
    if (!connection)
        return nullptr;
    const XInputVersion version = negotiateXInput2(connection);
    if (version.opcode == 0) {
        xcb_disconnect(connection);
        return nullptr;
    }
    if (version.minor < 1)
        qCInfo(lcSummon)
            << "XInput 2.0 server: keys typed while another program holds the keyboard are not seen";
    struct {
        xcb_input_event_mask_t head;
        quint32 mask;
    } mask{};
    mask.head.deviceid = XCB_INPUT_DEVICE_ALL_MASTER;
    mask.head.mask_len = 1;
    mask.mask = XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE;
    auto cookie = xcb_input_xi_select_events_checked(connection, rootWindow(connection), 1, &mask.head);
    if (xcb_generic_error_t* error = xcb_request_check(connection, cookie)) {
        qCWarning(lcSummon) << "XInput2 refused the raw key selection, error" << error->error_code;
        std::free(error);
        xcb_disconnect(connection);
        return nullptr;
    }
    return std::unique_ptr<X11SummonKeySource>(
        new X11SummonKeySource(connection, version.opcode, version.minor));
}

X11SummonKeySource::X11SummonKeySource(xcb_connection_t* connection, quint8 inputOpcode, quint32 minorVersion)
    : connection_(connection)
    , symbols_(xcb_key_symbols_alloc(connection))
    , inputOpcode_(inputOpcode)
    , minorVersion_(minorVersion) {
    notifier_ =
        std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &X11SummonKeySource::readEvents);
    // Events may already be queued by the replies read above.
    QMetaObject::invokeMethod(this, &X11SummonKeySource::readEvents, Qt::QueuedConnection);
}

X11SummonKeySource::~X11SummonKeySource() {
    notifier_.reset();
    xcb_key_symbols_free(symbols_);
    xcb_disconnect(connection_);
}

bool X11SummonKeySource::reportsEveryKeyEvent() const {
    return minorVersion_ >= 1;
}

void X11SummonKeySource::readEvents() {
    QPointer<X11SummonKeySource> self(this);
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        const quint8 type = event->response_type & 0x7f;
        if (type == XCB_GE_GENERIC) {
            auto* generic = reinterpret_cast<xcb_ge_generic_event_t*>(event);
            if (generic->extension == inputOpcode_ && (generic->event_type == XCB_INPUT_RAW_KEY_PRESS ||
                                                       generic->event_type == XCB_INPUT_RAW_KEY_RELEASE)) {
                auto* raw = reinterpret_cast<xcb_input_raw_key_press_event_t*>(event);
                handleRawKey(raw->detail, generic->event_type == XCB_INPUT_RAW_KEY_PRESS, raw->time,
                             raw->flags);
            }
        } else if (type == XCB_MAPPING_NOTIFY) {
            xcb_refresh_keyboard_mapping(symbols_, reinterpret_cast<xcb_mapping_notify_event_t*>(event));
        }
        std::free(event);
        if (!self) // a handler may have removed this source
            return;
    }
    if (xcb_connection_has_error(connection_)) {
        qCWarning(lcSummon) << "The X11 connection of the summon key source broke";
        notifier_->setEnabled(false);
    }
}

void X11SummonKeySource::handleRawKey(quint32 keycode, bool press, quint32 time, quint32 flags) {
    if (press) {
        // Repeats are marked by the server, and are presses of a key already down.
        if ((flags & XCB_INPUT_KEY_EVENT_FLAGS_KEY_REPEAT) || keysDown_.contains(keycode))
            return;
        keysDown_.insert(keycode);
    } else if (!keysDown_.remove(keycode)) {
        // Pressed before this source listened (or, on a 2.0 server, during another
        // client's grab): a release without its press would read as a press.
        return;
    }
    const quint32 keysym = xcb_key_symbols_get_keysym(symbols_, xcb_keycode_t(keycode), 0);
    const double seconds = clock_.seconds(time);
    switch (roleOf(keysym)) {
    case KeyRole::Command:
        emit commandKeyChanged(keysym == kXkControlR ? DoubleCommandTap::kRightCommand
                                                     : DoubleCommandTap::kLeftCommand,
                               !otherModifiersDown_.isEmpty(), seconds);
        break;
    case KeyRole::OtherModifier:
        if (press)
            otherModifiersDown_.insert(keycode);
        else
            otherModifiersDown_.remove(keycode);
        break;
    case KeyRole::Ignored:
        break;
    case KeyRole::Ordinary:
        if (press)
            emit otherKeyDown();
        break;
    }
}

// ---- Super+J ------------------------------------------------------------------

std::unique_ptr<X11SummonHotKey> X11SummonHotKey::create() {
    xcb_connection_t* connection = connectToDisplay();
    if (!connection)
        return nullptr;
    std::unique_ptr<X11SummonHotKey> hotKey(new X11SummonHotKey(connection));
    hotKey->grab();
    return hotKey;
}

X11SummonHotKey::X11SummonHotKey(xcb_connection_t* connection)
    : connection_(connection) {
    notifier_ =
        std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &X11SummonHotKey::readEvents);
}

X11SummonHotKey::~X11SummonHotKey() {
    notifier_.reset();
    // Closing the connection releases its grabs.
    xcb_disconnect(connection_);
}

void X11SummonHotKey::grab() {
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection_);
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, kXkJ);
    if (!codes || codes[0] == XCB_NO_SYMBOL) {
        std::free(codes);
        xcb_key_symbols_free(symbols);
        qCWarning(lcSummon) << "No key produces J on this keyboard: no summon alias";
        return;
    }
    keycode_ = codes[0];
    std::free(codes);
    const quint16 super = modifierMaskOf(connection_, symbols, kXkSuperL, XCB_MOD_MASK_4);
    const quint16 numLock = modifierMaskOf(connection_, symbols, kXkNumLock, XCB_MOD_MASK_2);
    xcb_key_symbols_free(symbols);

    const xcb_window_t root = rootWindow(connection_);
    const quint16 variants[] = {0, XCB_MOD_MASK_LOCK, numLock, quint16(XCB_MOD_MASK_LOCK | numLock)};
    xcb_void_cookie_t cookies[4];
    for (int i = 0; i < 4; ++i)
        cookies[i] = xcb_grab_key_checked(connection_, 1, root, quint16(super | variants[i]), keycode_,
                                          XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    bool refused = false;
    for (auto cookie : cookies) {
        if (xcb_generic_error_t* error = xcb_request_check(connection_, cookie)) {
            refused = true;
            std::free(error);
        }
    }
    if (refused) {
        // BadAccess: another client holds the combination. Give back what was taken.
        xcb_ungrab_key(connection_, keycode_, root, XCB_MOD_MASK_ANY);
        xcb_flush(connection_);
        qCInfo(lcSummon) << "Super+J is taken by another program: no summon alias";
        return;
    }
    registered_ = true;
}

void X11SummonHotKey::readEvents() {
    QPointer<X11SummonHotKey> self(this);
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        const quint8 type = event->response_type & 0x7f;
        bool fire = false;
        if (type == XCB_KEY_PRESS) {
            auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
            // Auto-repeat sends a release and a press with the same time.
            const bool repeat = lastReleaseTime_ != 0 && key->time == lastReleaseTime_;
            fire = key->detail == keycode_ && !repeat;
        } else if (type == XCB_KEY_RELEASE) {
            lastReleaseTime_ = reinterpret_cast<xcb_key_release_event_t*>(event)->time;
        }
        std::free(event);
        if (fire) {
            emit pressed();
            if (!self)
                return;
        }
    }
    if (xcb_connection_has_error(connection_))
        notifier_->setEnabled(false);
}

// ---- Keys of our own windows -----------------------------------------------------

LocalSummonKeySource::LocalSummonKeySource() {
    if (QCoreApplication::instance())
        QCoreApplication::instance()->installEventFilter(this);
}

LocalSummonKeySource::~LocalSummonKeySource() {
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeEventFilter(this);
}

bool LocalSummonKeySource::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    // A key event goes to the window first, then to its widgets: take it once.
    if ((type != QEvent::KeyPress && type != QEvent::KeyRelease) || !watched->isWindowType())
        return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->isAutoRepeat())
        return false;
    switch (key->key()) {
    case Qt::Key_Control: {
        const Qt::KeyboardModifiers others = key->modifiers() & (Qt::ShiftModifier | Qt::AltModifier |
                                                                 Qt::MetaModifier | Qt::GroupSwitchModifier);
        const quint16 code = key->nativeVirtualKey() == kXkControlR ? DoubleCommandTap::kRightCommand
                                                                    : DoubleCommandTap::kLeftCommand;
        emit commandKeyChanged(code, others != 0, clock_.seconds(quint32(key->timestamp())));
        break;
    }
    case Qt::Key_Shift:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
        break;
    default:
        if (type == QEvent::KeyPress)
            emit otherKeyDown();
        break;
    }
    return false;
}

// ---- Platform -----------------------------------------------------------------------

bool DesktopSummonPlatform::hasGlobalPermission() {
    return x11GlobalKeysAvailable();
}

std::unique_ptr<SummonKeySource> DesktopSummonPlatform::createGlobalSource() {
    return X11SummonKeySource::create();
}

std::unique_ptr<SummonKeySource> DesktopSummonPlatform::createLocalSource() {
    return std::make_unique<LocalSummonKeySource>();
}

std::unique_ptr<SummonHotKey> DesktopSummonPlatform::createHotKey() {
    return X11SummonHotKey::create();
}
