// Base fixture: a fresh simulated machine for every test, and no handle left open after it.
#pragma once

#include <gtest/gtest.h>
#include <winsim/control.h>

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        winsim::Reset();
        session_ = winsim::OpenSession();
    }
    void TearDown() override { EXPECT_EQ(winsim::OpenHandles(), 0) << "a handle was left open"; }

    void SetActionData(const std::string& value) {
        winsim::SetProperty(session_, "CustomActionData", value);
    }

    MSIHANDLE session_ = 0;
};
