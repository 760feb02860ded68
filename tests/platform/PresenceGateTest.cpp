#include "platform/PresenceGate.h"
#include "platform/widgets/PasswordDialog.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtConcurrent>

#include <gtest/gtest.h>

namespace {
// PAM configurations of the test's own, in a temporary folder read through
// pam_start_confdir: one permits, one denies, one checks the password it is given
// (pam_exec hands the password to a script on its standard input).
class PamConfig {
public:
    static constexpr auto password = "s3cret-é ok";

    PamConfig() {
        write(QStringLiteral("permit"), "auth required pam_permit.so\n");
        write(QStringLiteral("deny"), "auth required pam_deny.so\n");
        const QString script = dir.filePath(QStringLiteral("check-password"));
        writeFile(script, QByteArray("#!/bin/bash\nIFS= read -r -d '' given || true\n[ \"$given\" = '") +
                              password + "' ]\n");
        QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        write(QStringLiteral("check"),
              "auth required pam_exec.so quiet expose_authtok " + script.toUtf8() + "\n");
    }

    PamPresenceGate gate(const QString& service) const {
        return PamPresenceGate({service, QStringLiteral("ombrix-test-user"), dir.path()});
    }

private:
    void write(const QString& service, const QByteArray& text) { writeFile(dir.filePath(service), text); }
    static void writeFile(const QString& path, const QByteArray& text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    QTemporaryDir dir;
};

class PresenceGateTest : public ::testing::Test {
protected:
    void SetUp() override {
        PamPresenceGate::setPasswordAsker([this](const QString& reason) -> std::optional<QString> {
            reasons << reason;
            return answer;
        });
    }
    void TearDown() override { PamPresenceGate::setPasswordAsker(nullptr); }

    PamConfig config;
    QStringList reasons;
    std::optional<QString> answer = QString::fromUtf8(PamConfig::password);
};
} // namespace

TEST_F(PresenceGateTest, PamDecidesAfterTheUserAnswers) {
    EXPECT_TRUE(config.gate(QStringLiteral("permit")).confirm(QStringLiteral("Pour voir le jeton")));
    EXPECT_EQ(reasons, QStringList{QStringLiteral("Pour voir le jeton")});
    EXPECT_FALSE(config.gate(QStringLiteral("deny")).confirm(QStringLiteral("x")));
    // A service without configuration falls back to "other", which this folder lacks.
    EXPECT_FALSE(config.gate(QStringLiteral("absent")).confirm(QStringLiteral("x")));
}

TEST_F(PresenceGateTest, ThePasswordTypedIsTheOneChecked) {
    EXPECT_TRUE(config.gate(QStringLiteral("check")).confirm(QStringLiteral("x")));
    answer = QStringLiteral("s3cret-é");
    EXPECT_FALSE(config.gate(QStringLiteral("check")).confirm(QStringLiteral("x")));
    answer = QString();
    EXPECT_FALSE(config.gate(QStringLiteral("check")).confirm(QStringLiteral("x")));
}

TEST_F(PresenceGateTest, NoAnswerMeansRefused) {
    answer = std::nullopt; // the user cancelled
    EXPECT_FALSE(config.gate(QStringLiteral("permit")).confirm(QStringLiteral("x")));
    EXPECT_EQ(reasons.size(), 1);
    PamPresenceGate::setPasswordAsker(nullptr); // nothing can ask
    EXPECT_FALSE(config.gate(QStringLiteral("permit")).confirm(QStringLiteral("x")));
    EXPECT_EQ(reasons.size(), 1);
}

// --- The password dialog ------------------------------------------------------

namespace {
// Answers the next password dialog that opens: types the text and confirms, or
// cancels when there is no text. Polls from a timer, so that it also works while
// the dialog's own event loop runs.
void answerNextDialog(std::optional<QString> text) {
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, text] {
        auto* dialog = qobject_cast<PasswordDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll->stop();
        poll->deleteLater();
        if (text) {
            dialog->passwordField()->insert(*text);
            dialog->confirmButton()->click();
        } else {
            dialog->cancelButton()->click();
        }
    });
    poll->start();
}
} // namespace

TEST(PasswordDialog, ShowsTheReasonAndHidesThePassword) {
    PasswordDialog dialog(QStringLiteral("Confirme <b>l'accès</b>"), QStringLiteral("alice"));
    EXPECT_EQ(dialog.reasonLabel()->text(), QStringLiteral("Confirme <b>l'accès</b>"));
    EXPECT_EQ(dialog.reasonLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(dialog.passwordField()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dialog.confirmButton()->text(), QStringLiteral("Confirmer"));
    EXPECT_EQ(dialog.cancelButton()->text(), QStringLiteral("Annuler"));
}

TEST(PasswordDialog, ReturnsWhatWasTypedOrNothingWhenCancelled) {
    answerNextDialog(QStringLiteral("mot de passe"));
    EXPECT_EQ(runPasswordDialog(QStringLiteral("r")), QStringLiteral("mot de passe"));
    answerNextDialog(std::nullopt);
    EXPECT_EQ(runPasswordDialog(QStringLiteral("r")), std::nullopt);
}

TEST(PasswordDialog, AskedFromAWorkerThreadItRunsOnTheGuiThread) {
    PamConfig config;
    PamPresenceGate::setPasswordAsker(runPasswordDialog);
    QFuture<bool> confirmed =
        QtConcurrent::run([&] { return config.gate(QStringLiteral("check")).confirm(QStringLiteral("r")); });
    answerNextDialog(QString::fromUtf8(PamConfig::password));
    EXPECT_TRUE(spinUntil([&] { return confirmed.isFinished(); }));
    EXPECT_TRUE(confirmed.result());
    PamPresenceGate::setPasswordAsker(nullptr);
}

TEST(PasswordDialog, WithoutADisplayTheCheckIsRefusedAtOnce) {
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("offscreen"));
    installPresenceDialog();
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(askPasswordWithDialog(QStringLiteral("r")), std::nullopt);
    EXPECT_FALSE(PresenceGate::shared().confirm(QStringLiteral("r")));
    // Refused without waiting for an answer that would never come (a loaded machine
    // may take a while even so).
    EXPECT_LT(timer.elapsed(), 30000);
    PamPresenceGate::setPasswordAsker(nullptr);
}
