// Entry point of every test executable: an offscreen application, a private home
// and XDG folders in a temporary directory, in-memory settings and secrets, so that tests
// never touch the user's own files, and the program's own composition of the layers.
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

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/ombrix-test-XXXXXX"));
    if (!qEnvironmentVariableIsSet("OMBRIX_TEST_KEEP_HOME"))
        useTestHome(home);
    QApplication app(argc, argv);
    initOmbrixResources();
    Composition::install();
    DefaultsStore::setShared(std::make_shared<MemoryDefaultsStore>());
    SecretStore::setShared(std::make_shared<MemorySecretStore>());
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    // The program's end of the services, before the statics go.
    Lifetime::endServices();
    return status;
}
