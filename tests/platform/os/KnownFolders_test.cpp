#include "platform/os/KnownFolders.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using tk::test::EnvVar;

TEST(KnownFolders, AppDataFollowsTheBaseDirectoryRules) {
  EnvVar home("HOME", "/home/tester");
  struct Case {
    const char* xdg;
    const char* appData;
  } cases[] = {{"/cfg/x", "/cfg/x"}, {nullptr, "/home/tester/.config"}, {"relative/cfg", "/home/tester/.config"},
               {"", "/home/tester/.config"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xdg ? c.xdg : "(unset)");
    EnvVar xdg("XDG_CONFIG_HOME", c.xdg);
    EXPECT_EQ(os::AppDataFolder(), c.appData);
    std::string p;
    EXPECT_TRUE(os::GetSpecialFolderPath(os::CSIDL_APPDATA, p));
    EXPECT_EQ(p, c.appData);
  }
  EXPECT_EQ(os::HomeFolder(), "/home/tester");
  os::SetAppDataFolder("/scratch/appdata");
  EXPECT_EQ(os::AppDataFolder(), "/scratch/appdata");
  os::SetAppDataFolder("");
  std::string p;
  EXPECT_FALSE(os::GetSpecialFolderPath(0x0005, p));
}

TEST(KnownFolders, HomeFromTheAccountWhenUnset) {
  EnvVar home("HOME", nullptr);
  EXPECT_EQ(os::HomeFolder().front(), '/');
}

}  // namespace
