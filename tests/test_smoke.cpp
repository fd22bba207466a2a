#include <gtest/gtest.h>

#include "appFrame.h"
#include "testutil.h"

// The tests below start and end with the program as it starts: a fresh window, no volume.
using Harness = testutil::AppTest;

TEST_F(Harness, FrameOpensAndCloses) {
    AppFrame* f = testutil::frame();
    EXPECT_TRUE(f->IsShown());
}
