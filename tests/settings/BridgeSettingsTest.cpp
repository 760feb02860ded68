// The bridge tab: status labels, the shared folders in the test's temporary home
// (real folders, a symlink into ~/.ssh), the home abbreviation, and the widgets.
#include "bridge/BookmarkStore.h"
#include "bridge/BridgeService.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "settings/BridgeSettingsController.h"
#include "settings/widgets/BridgeSettingsTab.h"
#include "support/TestSupport.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QListView>
#include <QPushButton>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {

using Status = BridgeService::Status;

class BridgeSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults = installMemoryDefaults();
        installMemorySecrets();
        BridgeService::resetSharedForTesting();
        BookmarkStore::resetSharedForTesting();
        ScriptedResponse idle = ScriptedResponse::noContent();
        idle.holdMs = 50;
        backend.route("GET", QStringLiteral("/api/v1/bridge/tasks/next"), idle);
        backend.route("GET", QStringLiteral("/api/v1/me.json"), ScriptedResponse::json(200, R"({"id":7})"));
        home = QDir::homePath();
        root = home + QStringLiteral("/Partages");
        for (const char* name : {"Projets", "Photos", "Notes"})
            QDir().mkpath(root + "/" + name);
        QDir().mkpath(home + QStringLiteral("/.ssh"));
        QFile::link(home + QStringLiteral("/.ssh"), root + QStringLiteral("/cles"));
        session = std::make_unique<AppSession>();
    }
    void TearDown() override {
        session.reset();
        BridgeService::resetSharedForTesting();
        BookmarkStore::resetSharedForTesting();
        removeTestFolder(root);
    }

    FakeBackend backend;
    std::shared_ptr<MemoryDefaultsStore> defaults;
    std::unique_ptr<AppSession> session;
    BridgeService bridge;
    QString home, root;
};

} // namespace

TEST(BridgeStatusRow, EveryStatusAndKind) {
    struct Case {
        Status status;
        QString label;
        StatusTint tint;
    };
    const QList<Case> cases = {
        {Status::busy(BridgeTaskKind::ListDir), "Exécution : exploration d'un dossier", StatusTint::Orange},
        {Status::error("panne réseau"), "Erreur", StatusTint::Red},
        {Status::off(), "Non connecté", StatusTint::Gray},
        {Status::idle(), "Connecté", StatusTint::Green},
        {Status::polling(), "Connecté, en attente", StatusTint::Green},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BridgeStatusRow::of(c.status).label, c.label);
        EXPECT_EQ(BridgeStatusRow::of(c.status).tint, c.tint);
    }
    const QStringList kinds = {"recherche",
                               "lecture",
                               "liste des dossiers",
                               "exploration d'un dossier",
                               "photos récentes",
                               "photos par date",
                               "ouvrir une app",
                               "lancer un Shortcut",
                               "lister les Shortcuts",
                               "OCR d'une image",
                               "ouvrir un document",
                               "miniature",
                               "inférence LLM locale"};
    ASSERT_EQ(allBridgeTaskKinds().size(), kinds.size());
    for (int i = 0; i < kinds.size(); ++i)
        EXPECT_EQ(BridgeStatusRow::kindLabel(allBridgeTaskKinds()[i]), kinds[i]);
}

TEST(BridgeSettingsText, HomeAbbreviationAndElapsedTime) {
    struct Path {
        QString path, home, shown;
    };
    const QList<Path> paths = {
        {"/home/al/Projets", "/home/al", "~/Projets"},
        {"/home/alice/Projets", "/home/al", "/home/alice/Projets"},
        {"/home/al", "/home/al", "~"},
        {"/home/al/x", "/home/al/", "~/x"},
        {"/srv/partage/home/al/x", "/home/al", "/srv/partage/home/al/x"},
        {"/etc/x", "/", "/etc/x"},
    };
    for (const Path& p : paths)
        EXPECT_EQ(BridgeSettingsController::abbreviateHome(p.path, p.home), p.shown) << p.path.toStdString();

    const QDateTime t0 = QDateTime::fromSecsSinceEpoch(1'700'000'000);
    const QList<QPair<qint64, QString>> elapsed = {{-5, "0 s"},
                                                   {42, "42 s"},
                                                   {185, "3 min 5 s"},
                                                   {7620, "2 h 7 min"},
                                                   {3 * 86400 + 4 * 3600, "3 j 4 h"}};
    for (const auto& [seconds, text] : elapsed)
        EXPECT_EQ(BridgeSettingsController::elapsedText(t0, t0.addSecs(seconds)), text);
}

TEST_F(BridgeSettingsTest, AddingRemovingAndShowingFolders) {
    BookmarkStore& bookmarks = BookmarkStore::shared();
    BridgeSettingsController controller(*session, bookmarks, bridge);
    EXPECT_TRUE(controller.folders().isEmpty());

    controller.beginAddingFolders();
    runTask(controller.addFolders({root + "/Projets", root + "/cles", root + "/Photos"}));
    ASSERT_EQ(bookmarks.entries().size(), 2);
    EXPECT_EQ(controller.addError(), "Dossier système refusé pour raisons de sécurité.");
    const auto rows = controller.folders();
    EXPECT_EQ(rows[0].name, "Projets");
    EXPECT_EQ(rows[0].path, "~" + root.mid(home.size()) + "/Projets");
    EXPECT_EQ(rows[1].name, "Photos");

    // Chosen again (through another spelling of the path): not added twice.
    controller.beginAddingFolders();
    EXPECT_FALSE(controller.addError().has_value());
    runTask(controller.addFolders({root + "/Notes/../Projets", root + "/Notes"}));
    EXPECT_EQ(bookmarks.entries().size(), 3);
    EXPECT_FALSE(controller.addError().has_value());

    // A folder that is gone shows its name on the path line and can be removed.
    removeTestFolder(root + "/Photos");
    runTask(controller.refreshFolderPaths());
    EXPECT_EQ(controller.folders()[1].path, "Photos");
    controller.removeFolder(rows[1].id);
    EXPECT_EQ(bookmarks.entries().size(), 2);
    EXPECT_EQ(BookmarkPersistence::load().size(), 2);

    runTask(controller.addFolders({root + "/nowhere"}));
    EXPECT_EQ(controller.addError(), "Le chemin n'est pas un dossier.");
}

TEST_F(BridgeSettingsTest, ToggleHintAndConnection) {
    defaults->setBool(AppSession::kBridgeEnabled, true);
    session = std::make_unique<AppSession>();
    BookmarkStore& bookmarks = BookmarkStore::shared();
    BridgeSettingsTab tab(*session, bookmarks, bridge);
    EXPECT_FALSE(tab.bridgeToggle()->isEnabled());
    EXPECT_TRUE(tab.bridgeToggle()->isChecked()); // the stored value, shown
    EXPECT_EQ(tab.hintLabel()->text(), "Appaire-toi d'abord dans l'onglet Général.");
    EXPECT_EQ(tab.statusRow()->label()->text(), "Non connecté");
    EXPECT_EQ(tab.statusRow()->tint(), StatusTint::Gray);
    EXPECT_TRUE(tab.tasksRow()->isHidden());
    EXPECT_TRUE(tab.lastActivityRow()->isHidden());
    EXPECT_TRUE(tab.lastErrorLabel()->isHidden());
    EXPECT_FALSE(tab.emptyLabel()->isHidden());

    runTask(session->setToken(QStringLiteral("tok")));
    EXPECT_TRUE(tab.bridgeToggle()->isEnabled());
    EXPECT_TRUE(tab.hintLabel()->text().startsWith("Ombrix peut rechercher"));
    tab.bridgeToggle()->click();
    EXPECT_FALSE(session->bridgeEnabled());
}

TEST_F(BridgeSettingsTest, FolderChooserAndRows) {
    BookmarkStore& bookmarks = BookmarkStore::shared();
    BridgeSettingsTab tab(*session, bookmarks, bridge);
    tab.resize(560, 700);
    tab.show();

    // Cancelled: nothing changes, the error line stays empty.
    runTask(tab.controller().addFolders({root + "/cles"}));
    ASSERT_FALSE(tab.addErrorLabel()->isHidden());
    QFileDialog* chooser = tab.pickFolder();
    EXPECT_EQ(chooser->fileMode(), QFileDialog::Directory);
    EXPECT_TRUE(chooser->testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_EQ(chooser->labelText(QFileDialog::Accept), "Ajouter");
    EXPECT_TRUE(tab.addErrorLabel()->isHidden());
    chooser->reject();
    EXPECT_TRUE(bookmarks.entries().isEmpty());
    EXPECT_TRUE(tab.addErrorLabel()->isHidden());

    // Several folders selected in the dialog's view are all added.
    chooser = tab.pickFolder();
    chooser->setDirectory(root);
    auto* view = chooser->findChild<QListView*>(QStringLiteral("listView"));
    ASSERT_TRUE(view);
    EXPECT_EQ(view->selectionMode(), QAbstractItemView::ExtendedSelection);
    ASSERT_TRUE(spinUntil([&] { return view->model()->rowCount(view->rootIndex()) >= 3; }));
    for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row) {
        const QModelIndex index = view->model()->index(row, 0, view->rootIndex());
        if (index.data().toString() == "Projets" || index.data().toString() == "Notes")
            view->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    const QStringList chosen = chooser->selectedFiles();
    ASSERT_EQ(chosen.size(), 2);
    static_cast<QDialog*>(chooser)->accept();
    EXPECT_TRUE(spinUntil([&] { return bookmarks.entries().size() == chosen.size(); }));
    ASSERT_EQ(tab.folderRows().size(), chosen.size());
    EXPECT_TRUE(tab.emptyLabel()->isHidden());

    tab.folderRows()[0]->findChild<QToolButton*>()->click();
    EXPECT_EQ(bookmarks.entries().size(), chosen.size() - 1);
}

TEST_F(BridgeSettingsTest, Screenshots) {
    BookmarkStore& bookmarks = BookmarkStore::shared();
    {
        BridgeSettingsTab tab(*session, bookmarks, bridge);
        tab.resize(560, 520);
        saveScreenshot(&tab, QStringLiteral("settings-bridge-signed-out"));
    }
    bookmarks.add(root + "/Projets");
    bookmarks.add(root + "/Notes");
    runTask(session->setToken(QStringLiteral("tok")));
    session->setBridgeEnabled(true);
    BridgeService& running = BridgeService::shared();
    ASSERT_TRUE(spinUntil([&] { return running.status() == Status::polling(); }));
    BridgeSettingsTab tab(*session, bookmarks, running);
    EXPECT_EQ(tab.statusRow()->label()->text(), "Connecté, en attente");
    EXPECT_EQ(tab.statusRow()->tint(), StatusTint::Green);
    runTask(tab.controller().addFolders({root + "/cles"}));
    tab.resize(560, 520);
    saveScreenshot(&tab, QStringLiteral("settings-bridge-signed-in"));
}
