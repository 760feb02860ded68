#include "content/widgets/MediaDialogs.h"
#include "support/TestSupport.h"

#include <QAbstractButton>

#include <gtest/gtest.h>

namespace {

TEST(MediaDialogsTest, consentIsNeverAssumedWithoutADisplay) {
    // The test platform is offscreen: no one can answer, so nothing is asked.
    EXPECT_FALSE(canShowDialogs());
    EXPECT_EQ(runTask(askPhotoConsent()), std::nullopt);
}

} // namespace
