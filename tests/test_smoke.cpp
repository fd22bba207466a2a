#include <gtest/gtest.h>

#include "appFrame.h"
#include "testutil.h"

TEST(Harness, FrameOpensAndCloses) {
    testutil::resetApp();
    AppFrame* f = testutil::frame();
    EXPECT_TRUE(f->IsShown());
    testutil::resetApp();
}
