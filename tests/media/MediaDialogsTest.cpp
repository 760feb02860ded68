#include "bridge/widgets/MediaDialogs.h"
#include "support/TestSupport.h"

#include <QAbstractButton>

#include <gtest/gtest.h>

namespace {

TEST(MediaDialogsTest, consentIsNeverAssumedWithoutADisplay) {
    // The test platform is offscreen: no one can answer, so nothing is asked.
    EXPECT_FALSE(canShowDialogs());
    EXPECT_EQ(runTask(askPhotoConsent()), std::nullopt);
}

TEST(MediaDialogsTest, consentDialogAnswersWithTheButtonClicked) {
    PhotoConsentDialog allowed;
    EXPECT_EQ(allowed.allowButton()->text(), QStringLiteral("Autoriser"));
    EXPECT_EQ(allowed.refuseButton()->text(), QStringLiteral("Refuser"));
    allowed.open();
    allowed.allowButton()->click();
    EXPECT_TRUE(allowed.granted());

    // Refusing, or closing with Escape, is a refusal.
    PhotoConsentDialog refused;
    refused.open();
    refused.refuseButton()->click();
    EXPECT_FALSE(refused.granted());
    PhotoConsentDialog closed;
    closed.open();
    closed.reject();
    EXPECT_FALSE(closed.granted());
}

} // namespace
