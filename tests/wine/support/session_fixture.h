// Base fixture of the Wine suite: the real DLL and a fresh installer session for every test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/dll_under_test.h"
#include "support/installer_session.h"

namespace zelk::wine {

class CustomActionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(DllUnderTest::Instance().Problem().empty())
            << DllUnderTest::Instance().Problem();
        ASSERT_TRUE(session_.IsOpen()) << "MsiOpenPackageA failed with " << session_.OpenResult();
    }

    // Calls the export as the installer does, with this test's session.
    UINT Run(const char* exportName) const {
        return DllUnderTest::Instance().Call(exportName, session_.Handle());
    }

    UINT RunWithData(const char* exportName, const std::string& data) const {
        EXPECT_EQ(session_.SetActionData(data), static_cast<UINT>(ERROR_SUCCESS));
        return Run(exportName);
    }

    InstallerSession session_;
};

}  // namespace zelk::wine
