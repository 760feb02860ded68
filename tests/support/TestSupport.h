#pragma once

#include "platform/DefaultsStore.h"
#include "platform/SecretStore.h"
#include "support/ScriptedHttpServer.h"

#include <QEventLoop>
#include <QProcessEnvironment>
#include <QQueue>
#include <QString>
#include <QTemporaryDir>

#include <QCoro/QCoroTask>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>

// Runs a coroutine to its end on a nested event loop and returns its value; an
// exception thrown inside comes out of here. (QCoro::waitFor loses exceptions.)
template <typename T> T runTask(QCoro::Task<T>&& task) {
    QEventLoop loop;
    std::optional<T> result;
    std::exception_ptr error;
    bool done = false;
    auto body = [&]() -> QCoro::Task<> {
        try {
            result.emplace(co_await std::move(task));
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
        loop.quit();
    };
    auto running = body();
    if (!done)
        loop.exec();
    if (error)
        std::rethrow_exception(error);
    return std::move(*result);
}

inline void runTask(QCoro::Task<>&& task) {
    QEventLoop loop;
    std::exception_ptr error;
    bool done = false;
    auto body = [&]() -> QCoro::Task<> {
        try {
            co_await std::move(task);
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
        loop.quit();
    };
    auto running = body();
    if (!done)
        loop.exec();
    if (error)
        std::rethrow_exception(error);
}

// Runs a coroutine and returns the exception it threw, or nullptr.
template <typename T> std::exception_ptr runTaskCatching(QCoro::Task<T>&& task) {
    try {
        runTask(std::move(task));
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// The description of an exception_ptr (empty when null).
QString errorText(const std::exception_ptr& error);

// Processes events for the given time.
void spinFor(int ms);
// How long a test waits for an event that must come: a layout, a decoding, a process,
// a file walk, sound, the X server or the bus. Far above what any step takes under the
// sanitizers on a loaded machine; a wait that succeeds returns as soon as the event
// has come, so only a fault ever waits this long. A wait that shows something does
// NOT happen is a deliberate short window of its own (spinFor, or a short bound).
constexpr int kEventWaitMs = 60000;
// Processes events until the predicate holds or the time is up.
bool spinUntil(const std::function<bool()>& predicate, int timeoutMs = kEventWaitMs);

// Points HOME and the XDG folders (config, data, cache, pictures) inside `folder`,
// so that tests and benchmarks never touch the user's own files.
void pointHomeAt(const QString& folder);
// What the test main does with the temporary home it made: points HOME and the XDG
// folders inside it, and makes it the only folder removeTestFolder deletes in.
void useTestHome(const QTemporaryDir& home);
// Whether HOME is this test program's temporary home and the XDG folders (config,
// data, cache, pictures) all point inside it, as the test main sets them. Tests
// that delete folders under them refuse to run otherwise.
bool testHomeIsTemporary();
// Deletes the folder when it lies inside this test program's temporary home (not
// merely somewhere in the temporary folder) and testHomeIsTemporary() holds;
// otherwise deletes nothing, fails the current test and returns false.
bool removeTestFolder(const QString& path);

// A temporary folder of this test process, made on first use. The test main removes
// it when the program ends (it ends without static destructors).
QString processTempFolder();
void removeProcessTempFolder();

// This test program's environment for a program it starts (the real program, a
// probe, the test program itself as a child): offscreen and without an X or Wayland
// display, so that the child never takes the summon keys or the keyboard of the
// display that the summon tests drive at the same time.
QProcessEnvironment childEnvironment();
// The same, for a program living in a home and a runtime folder of its own.
QProcessEnvironment childEnvironment(const QString& home, const QString& runtime);
// How many rounds a soak asks for in `variable` (tests/soak-end.sh), else `rounds`:
// the suite runs few rounds of a race, the soak many.
int roundsOr(const char* variable, int rounds);

// Runs one test of this program (its full name) in a child process with this
// environment and expects it to end normally and pass within a minute; returns
// what the child printed (standard output and error merged).
QString runPassingChildTest(const QString& test, const QProcessEnvironment& environment);

// A fresh in-memory defaults store installed as the shared one.
std::shared_ptr<MemoryDefaultsStore> installMemoryDefaults();
// A fresh in-memory secret store installed as the shared one (every test process
// starts with one, so that no test reaches the user's keyring by accident).
std::shared_ptr<MemorySecretStore> installMemorySecrets();

// Points the product configuration at a loopback backend: product domain and API
// host "localhost", default endpoint the server's base URL, pinned roots the given
// PEM file (the test CA unless told otherwise). Resets the HTTP sessions.
void pointBackendAt(const ScriptedHttpServer& server, const QString& pinnedRootsPath = QString());
// Restores the built-in configuration.
void resetBackendConfig();

// A fake backend over TLS with the configuration pointed at it for the object's life.
class FakeBackend : public ScriptedHttpServer {
public:
    FakeBackend();
    ~FakeBackend() override;
};

// Answers GET `path` from `polls` (kept by the caller); an empty queue answers 204
// after a short hold, as an idle long poll does.
void routeQueuedPolls(ScriptedHttpServer& server, const QString& path, QQueue<ScriptedResponse>& polls);

class QWidget;

// Renders a widget (shown offscreen at its current size) to screenshots/<name>.png
// in the build tree, for review (scripts/refresh-screenshots.sh copies the renders
// into docs/screenshots on purpose). Returns the path.
QString saveScreenshot(QWidget* widget, const QString& name);

// Lets GoogleTest print Qt strings and byte arrays readably.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QByteArray& bytes, std::ostream* os) {
    *os << '"' << bytes.toStdString() << '"';
}
