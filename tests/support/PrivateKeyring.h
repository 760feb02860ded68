#pragma once

#include <QString>

#include <optional>

// Tests that lock the keyring or stop its daemon run in a child process of their
// own, on a private session bus with a throw-away GNOME keyring (dbus-run-session
// and scripts/with-keyring.sh): the other tests, which share the suite's keyring,
// never see it locked or stopped.
//
// A test starts with OMBRIX_RUN_WITH_PRIVATE_KEYRING(display): in the suite it runs
// itself again in such a child and passes when the child passes; in the child it
// goes on. With `display` false the child has no X display, so that an unlock
// prompt of the keyring fails at once instead of waiting for an answer; with
// `display` true it has an X server of its own, where the prompt's keyboard grab
// meets no other test.
bool inPrivateKeyring();
void runCurrentTestWithPrivateKeyring(bool display);

#define OMBRIX_RUN_WITH_PRIVATE_KEYRING(display)                                                             \
    do {                                                                                                     \
        if (!inPrivateKeyring()) {                                                                           \
            runCurrentTestWithPrivateKeyring(display);                                                       \
            return;                                                                                          \
        }                                                                                                    \
    } while (false)

// In the child: the pid of the daemon that serves the Secret Service (0 when unknown).
qint64 secretServicePid();
// Locks the keyring's default collection through the Secret Service's D-Bus API.
bool lockDefaultCollection();
// Unlocks it again with the throw-away keyring's password (no prompt).
bool unlockDefaultCollection();
// The secret stored under these attributes, as secret-tool finds it (nothing when none).
std::optional<QString> lookUpSecret(const QString& service, const QString& account);
