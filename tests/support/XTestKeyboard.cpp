#include "support/XTestKeyboard.h"

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include <cstdlib>

XTestKeyboard::XTestKeyboard() {
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return;
    connection_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection_)) {
        xcb_disconnect(connection_);
        connection_ = nullptr;
        return;
    }
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
    for (const Key& key : keys)
        xcb_test_fake_input(connection_, key.press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycodeOf(key.keysym),
                            XCB_CURRENT_TIME, root, 0, 0, 0);
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
