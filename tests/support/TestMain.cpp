// Entry point of every test executable: an offscreen application, a private home
// and XDG folders in a temporary directory, in-memory settings and secrets, so that tests
// never touch the user's own files, and the program's own composition of the layers.
//
// The end: once GoogleTest has written its results (its XML or JSON report is closed
// inside RUN_ALL_TESTS) and the program's end of its services has run
// (Lifetime::endServices: it stops and waits for the program's own work), the process ends without running static
// destructors. Libraries that keep threads of their own (the sound server's client
// behind Qt Multimedia, the decoders, the keyring's bus) would otherwise be torn down
// by those destructors while their threads may still run. What a sanitizer finds is
// reported when it happens; the leak check that would run at exit runs here (it is
// off in the suite, ASAN_OPTIONS=detect_leaks=0, and does nothing then).
#include "app/Composition.h"
#include "app/widgets/Lifetime.h"
#include "platform/DefaultsStore.h"
#include "platform/Resources.h"
#include "platform/SecretStore.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/ombrix-test-XXXXXX"));
    if (!qEnvironmentVariableIsSet("OMBRIX_TEST_KEEP_HOME"))
        useTestHome(home);
    int result = 0;
    // As the program does, before any thread (the keychain tests call it from several).
    LibsecretStore::prepareBeforeThreads();
    {
        QApplication app(argc, argv);
        initOmbrixResources();
        Composition::install();
        DefaultsStore::setShared(std::make_shared<MemoryDefaultsStore>());
        SecretStore::setShared(std::make_shared<MemorySecretStore>());
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
        // The program's end of the services (what it stops and waits for).
        Lifetime::endServices();
    }
    removeProcessTempFolder();
    home.remove();
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();
#endif
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(result);
}
