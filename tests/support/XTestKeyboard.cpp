#include "support/XTestKeyboard.h"

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

XTestKeyboard::XTestKeyboard() {
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return;
    // A server busy with the other test processes' connections may refuse one for a
    // moment: a few tries before the display counts as absent.
    for (int attempt = 0; attempt < 10; ++attempt) {
        connection_ = xcb_connect(nullptr, nullptr);
        if (!xcb_connection_has_error(connection_))
            break;
        qWarning("XTEST keyboard: connection to the X server refused (%d), trying again",
                 xcb_connection_has_error(connection_));
        xcb_disconnect(connection_);
        connection_ = nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    if (!connection_)
        return;
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection_, &xcb_test_id);
    xtest_ = extension && extension->present;
}

XTestKeyboard::~XTestKeyboard() {
    if (connection_)
        xcb_disconnect(connection_);
}

bool XTestKeyboard::isOpen() const {
    return connection_ && xtest_;
}

quint8 XTestKeyboard::keycodeOf(quint32 keysym) {
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection_);
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, keysym);
    const quint8 code = codes ? codes[0] : 0;
    std::free(codes);
    xcb_key_symbols_free(symbols);
    return code;
}

void XTestKeyboard::send(const std::vector<Key>& keys) {
    if (!isOpen())
        return;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    // Looking a keycode up is a round trip, which would send the keys queued so far:
    // every code is known before the first key goes, so that the keys reach the
    // server together and their times are the server's delays alone, not how long a
    // busy machine kept this process from its next request.
    std::vector<quint8> codes;
    codes.reserve(keys.size());
    for (const Key& key : keys)
        codes.push_back(keycodeOf(key.keysym));
    for (std::size_t i = 0; i < keys.size(); ++i)
        xcb_test_fake_input(connection_, keys[i].press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, codes[i],
                            keys[i].delayMs, root, 0, 0, 0);
    sync();
}

void XTestKeyboard::tap(quint32 keysym) {
    send({{keysym, true}, {keysym, false}});
}

bool XTestKeyboard::grabWithSuper(quint32 keysym) {
    if (!connection_)
        return false;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    auto cookie = xcb_grab_key_checked(connection_, 1, root, XCB_MOD_MASK_4, keycodeOf(keysym),
                                       XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    xcb_generic_error_t* error = xcb_request_check(connection_, cookie);
    const bool granted = error == nullptr;
    std::free(error);
    return granted;
}

void XTestKeyboard::sync() {
    if (!connection_)
        return;
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

namespace {

xcb_connection_t* openDisplay() {
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return nullptr;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return nullptr;
    }
    return connection;
}

// XCB_GRAB_STATUS_… of an active keyboard grab on the root window.
quint8 grabKeyboard(xcb_connection_t* connection) {
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    auto cookie =
        xcb_grab_keyboard(connection, 0, root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    xcb_grab_keyboard_reply_t* reply = xcb_grab_keyboard_reply(connection, cookie, nullptr);
    const quint8 status = reply ? reply->status : quint8(XCB_GRAB_STATUS_INVALID_TIME);
    std::free(reply);
    return status;
}

} // namespace

KeyboardGrab::KeyboardGrab()
    : connection_(openDisplay()) {
    granted_ = connection_ && grabKeyboard(connection_) == XCB_GRAB_STATUS_SUCCESS;
}

KeyboardGrab::~KeyboardGrab() {
    if (connection_)
        xcb_disconnect(connection_);
}

bool KeyboardGrab::isHeld() const {
    if (!granted_)
        return false;
    xcb_connection_t* third = openDisplay();
    if (!third)
        return false;
    const quint8 status = grabKeyboard(third);
    xcb_disconnect(third); // releases the grab, should it have been granted
    return status == XCB_GRAB_STATUS_ALREADY_GRABBED;
}

int KeyboardGrab::keyPressesReceived() {
    if (!connection_)
        return presses_;
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        if ((event->response_type & 0x7f) == XCB_KEY_PRESS)
            ++presses_;
        std::free(event);
    }
    return presses_;
}

void KeyboardGrab::release() {
    if (!connection_ || !granted_)
        return;
    xcb_ungrab_keyboard(connection_, XCB_CURRENT_TIME);
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    granted_ = false;
}
