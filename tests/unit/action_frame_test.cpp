#include "sim_fixture.h"

#include "runtime/action_frame.h"

#include <stdexcept>

using zelk::RunGuarded;

TEST(ActionFrameTest, NoExceptionLeavesAnExportBody) {
    auto outOfMemory = []() -> UINT { throw std::bad_alloc(); };
    auto broken = []() -> UINT { throw std::runtime_error("broken"); };
    EXPECT_EQ(RunGuarded(true, outOfMemory), 0u);
    EXPECT_EQ(RunGuarded(true, broken), 0u);
    EXPECT_EQ(RunGuarded(false, outOfMemory), static_cast<UINT>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(RunGuarded(false, broken), static_cast<UINT>(ERROR_FUNCTION_FAILED));
    EXPECT_EQ(RunGuarded(false, []() -> UINT { return 1062; }), 1062u);
}
