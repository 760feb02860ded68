// GLib's headers use "signals" as an identifier: they come before any Qt header.
#include <gio/gio.h>

#include "support/PrivateKeyring.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace {
constexpr auto kSecrets = "org.freedesktop.secrets";
constexpr auto kServicePath = "/org/freedesktop/secrets";
constexpr auto kDefaultCollection = "/org/freedesktop/secrets/aliases/default";
// The password scripts/with-keyring.sh gives the throw-away keyring.
constexpr auto kKeyringPassword = "ombrix-test-keyring";

GDBusConnection* sessionBus() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    g_clear_error(&error);
    return bus;
}

// One method call on the session bus; the reply (to unref), or nullptr.
GVariant* call(GDBusConnection* bus, const char* name, const char* path, const char* interface,
               const char* method, GVariant* arguments) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, name, path, interface, method, arguments, nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
    if (error) {
        ADD_FAILURE() << method << ": " << error->message;
        g_error_free(error);
    }
    return reply;
}

// The real object path of the default collection.
QByteArray defaultCollectionPath(GDBusConnection* bus) {
    GVariant* reply = call(bus, kSecrets, kServicePath, "org.freedesktop.Secret.Service", "ReadAlias",
                           g_variant_new("(s)", "default"));
    if (!reply)
        return kDefaultCollection;
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    QByteArray out(path);
    g_variant_unref(reply);
    return out == "/" ? QByteArray(kDefaultCollection) : out;
}

// An X server of the child's own. The keyring's unlock prompt grabs the keyboard:
// on the suite's shared display it would take the keys that the global shortcut
// tests type at the same time. Xvfb picks a free display number itself and writes
// it on its standard output (-displayfd), so that two starts cannot race for one.
class PrivateXServer {
public:
    // The display (":N"), or empty when Xvfb did not start.
    QString start() {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            return {};
        server_.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                             QStringLiteral("0"), QStringLiteral("800x600x24"), QStringLiteral("-nolisten"),
                             QStringLiteral("tcp")});
        QByteArray number;
        while (!number.endsWith('\n') && server_.waitForReadyRead(kEventWaitMs))
            number += server_.readAllStandardOutput();
        number = number.trimmed();
        bool ok = false;
        number.toInt(&ok);
        return ok ? QLatin1Char(':') + QString::fromLatin1(number) : QString();
    }
    ~PrivateXServer() {
        if (server_.state() != QProcess::NotRunning) {
            server_.terminate();
            if (!server_.waitForFinished(5000)) {
                server_.kill();
                server_.waitForFinished();
            }
        }
    }

private:
    QProcess server_;
};
} // namespace

bool inPrivateKeyring() {
    return qEnvironmentVariable("OMBRIX_TEST_PRIVATE_KEYRING") == QLatin1String("1");
}

void runCurrentTestWithPrivateKeyring(bool display) {
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-run-session")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")).isEmpty())
        GTEST_SKIP() << "dbus-run-session or gnome-keyring-daemon is not installed";
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const QString name =
        QString::fromUtf8(test->test_suite_name()) + QLatin1Char('.') + QString::fromUtf8(test->name());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("OMBRIX_TEST_PRIVATE_KEYRING"), QStringLiteral("1"));
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.remove(QStringLiteral("OMBRIX_TEST_KEYRING"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    PrivateXServer xserver;
    if (display) {
        const QString number = xserver.start();
        if (number.isEmpty())
            GTEST_SKIP() << "Xvfb is not installed or did not start: no display for the keyring's prompt";
        env.insert(QStringLiteral("DISPLAY"), number);
    }
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral("dbus-run-session"),
                {QStringLiteral("--"), QStringLiteral("bash"),
                 QStringLiteral(OMBRIX_SOURCE_DIR "/scripts/with-keyring.sh"),
                 QCoreApplication::applicationFilePath(), QStringLiteral("--gtest_filter=") + name});
    ASSERT_TRUE(child.waitForStarted());
    const bool finished = child.waitForFinished(100000);
    if (!finished) {
        child.kill();
        child.waitForFinished();
    }
    const QString out = QString::fromUtf8(child.readAll());
    ASSERT_TRUE(finished) << "the child did not end:\n" << out.toStdString();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << out.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("[  PASSED  ] 1 test"))) << out.toStdString();
}

qint64 secretServicePid() {
    GDBusConnection* bus = sessionBus();
    if (!bus)
        return 0;
    GVariant* reply = call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "GetConnectionUnixProcessID", g_variant_new("(s)", kSecrets));
    g_object_unref(bus);
    if (!reply)
        return 0;
    guint32 pid = 0;
    g_variant_get(reply, "(u)", &pid);
    g_variant_unref(reply);
    return pid;
}

bool lockDefaultCollection() {
    GDBusConnection* bus = sessionBus();
    if (!bus)
        return false;
    const QByteArray collection = defaultCollectionPath(bus);
    const gchar* objects[] = {collection.constData(), nullptr};
    GVariant* reply = call(bus, kSecrets, kServicePath, "org.freedesktop.Secret.Service", "Lock",
                           g_variant_new("(^ao)", objects));
    g_object_unref(bus);
    if (!reply)
        return false;
    g_variant_unref(reply);
    return true;
}

bool unlockDefaultCollection() {
    GDBusConnection* bus = sessionBus();
    if (!bus)
        return false;
    const QByteArray collection = defaultCollectionPath(bus);
    // A session without encryption, for the password only.
    GVariant* opened = call(bus, kSecrets, kServicePath, "org.freedesktop.Secret.Service", "OpenSession",
                            g_variant_new("(sv)", "plain", g_variant_new_string("")));
    bool unlocked = false;
    if (opened) {
        GVariant* output = nullptr;
        const gchar* session = nullptr;
        g_variant_get(opened, "(v&o)", &output, &session);
        const QByteArray password(kKeyringPassword);
        GVariant* secret = g_variant_new(
            "(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password.constData(), gsize(password.size()), 1),
            "text/plain");
        GVariant* reply =
            call(bus, kSecrets, kServicePath, "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                 "UnlockWithMasterPassword", g_variant_new("(o@(oayays))", collection.constData(), secret));
        unlocked = reply != nullptr;
        if (reply)
            g_variant_unref(reply);
        g_variant_unref(output);
        g_variant_unref(opened);
    }
    g_object_unref(bus);
    return unlocked;
}

std::optional<QString> lookUpSecret(const QString& service, const QString& account) {
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"), {QStringLiteral("lookup"), QStringLiteral("service"), service,
                                               QStringLiteral("account"), account});
    if (!tool.waitForFinished(kEventWaitMs) || tool.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(tool.readAllStandardOutput());
}
