// One Xvfb for the whole window test program.
#include "xvfb_harness.h"

namespace {
::testing::Environment* const xvfbEnvironment =
    ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);
}
