#include "platform/os/KnownFolders.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace {

// Sets an environment variable for one test and puts it back.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~EnvVar() {
    if (had_) setenv(name_, old_.c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_;
  std::string old_;
};

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
