#pragma once

#include <QString>

#include <functional>
#include <memory>

class AppDelegate;
class KeychainWorker;
class QApplication;
class SingleInstance;

// The program's run from its start to its end, in one place: what lives for the
// whole run is started here in order and ended here in the reverse order.
//
// Start (start()): the single instance's lock (a later launch hands its link over
// and ends before any of the GUI exists); the quit signals blocked in every thread
// (before any thread starts: they wait for the GUI thread, see QuitSignal); the
// application object; the signal handlers (SIGTERM and SIGINT quit cleanly); the single instance's listener; the recordings an earlier run left; resources and the
// composition of the layers; the settings store (its writer thread); the keychain
// worker (whose writes may touch the settings); the dialogs the lower layers ask
// for; the shell (AppDelegate: the session, whose token starts the bridge, the
// tray and popover, the summon, the sample speaker). Made on first use while the
// program runs, in no set order: the HTTP sessions, the work pools (speech,
// encoding, the bridge loop), the sound devices and the speech engine, the decoder
// workers and the share lanes.
//
// End (after the event loop, in end()): the reverse. Links are refused and the
// shell ends (summon, bridge, sample speaker); running commands and the bridge's
// shortcut runs are ended; the session saves the conversation; the windows go with
// their voice screens; every sound stream still open is closed; the decoder
// workers are killed and the share lanes told to stop (neither waited for); the
// work pools and Qt's pool stop and are waited for (bounded); the HTTP sessions
// end; the keychain worker carries out the writes asked before it; the settings
// are on disk. Then the process ends at once (std::_Exit with the event loop's
// status): no static object is destroyed under a thread of ours that may still run
// (a share thread blocked on a hung mount, a keychain call stuck in the keyring),
// and the sound server's client library is never torn down. The single instance's
// lock is released just before (a thread blocked in a hung mount may keep the
// process from being reaped).
class Lifetime {
public:
    Lifetime(int& argc, char** argv);
    ~Lifetime();
    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;

    // Starts the program. False when another program runs and took this launch's
    // link: the launch then ends (status 0) without having started anything else.
    bool start();
    // Runs the event loop, then the end. Never returns.
    [[noreturn]] void run();

    // The end of the services that live for the run, in order (the end's steps
    // after the shell): what a program without a Lifetime (the tests' main) calls
    // before it returns. `keychain`: the worker the program owns; nothing: the one
    // made on first use, if any. `closeWindows` runs once the conversation is
    // saved, before the sound streams are closed.
    static void endServices(KeychainWorker* keychain = nullptr,
                            const std::function<void()>& closeWindows = {});

private:
    [[noreturn]] void end(int status);

    int& argc_;
    char** argv_;
    QString link_;
    std::unique_ptr<SingleInstance> instance_;
    std::unique_ptr<QApplication> app_;
    std::unique_ptr<KeychainWorker> keychain_;
    std::unique_ptr<AppDelegate> delegate_;
};
