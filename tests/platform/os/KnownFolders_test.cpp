#include "platform/os/KnownFolders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/TestSupport.h"

namespace {

using tk::test::EnvVar;
namespace fs = std::filesystem;

TEST(KnownFolders, AppDataFollowsTheBaseDirectoryRules) {
  EnvVar home("HOME", "/home/tester");
  struct Case {
    const char* xdg;
    const char* appData;
  } cases[] = {{"/cfg/x", "/cfg/x"},
               {nullptr, "/home/tester/.config"},
               {"relative/cfg", "/home/tester/.config"},
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

TEST(KnownFolders, CacheFollowsTheBaseDirectoryRules) {
  EnvVar home("HOME", "/home/tester");
  for (const char* xdg : {"relative/cache", "", static_cast<const char*>(nullptr)}) {
    EnvVar cache("XDG_CACHE_HOME", xdg);
    EXPECT_EQ(os::CacheFolder(), "/home/tester/.cache");
  }
  EnvVar cache("XDG_CACHE_HOME", "/var/cache/x");
  EXPECT_EQ(os::CacheFolder(), "/var/cache/x");
}

// Whether the user may write into the program's folder is the kernel's
// answer for an ordinary user (root may write anywhere), so the folders are
// asked for in a process of such a user.
TEST(KnownFolders, ProgramFoldersMoveToTheUsersWhenTheProgramsAreNotTheirs) {
  tk::test::ScratchDir scratch;
  ::chmod(scratch.path().c_str(), 0755);
  const tk::test::User user = tk::test::OrdinaryUser();
  const fs::path own = scratch / "own", system = scratch / "system", home = scratch / "home";
  fs::create_directories(own);
  fs::create_directories(system);
  tk::test::GiveTo(own, user);
  ::chmod(system.c_str(), 0555);
  const std::string s = scratch.path().string();
  struct Case {
    const char* label;
    fs::path folder;
    const char* config;  // XDG_CONFIG_HOME
    const char* cache;   // XDG_CACHE_HOME
    std::string want;    // settings|work|installed
  } cases[] = {
      {"writable", own, "/c", "/k", s + "/own/|" + s + "/own/cmdline/|0"},
      {"read-only", system, "/c", "/k", "/c/tarnwick/|/k/tarnwick/cmdline/|1"},
      {"read-only, no base folders", system, nullptr, "rel",
       s + "/home/.config/tarnwick/|" + s + "/home/.cache/tarnwick/cmdline/|1"},
      {"missing", scratch / "gone", "/c", "/k", s + "/gone/|" + s + "/gone/cmdline/|0"},
  };
  EnvVar h("HOME", home.c_str());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EnvVar config("XDG_CONFIG_HOME", c.config);
    EnvVar cache("XDG_CACHE_HOME", c.cache);
    const std::string got = tk::test::CallAs(user, [&] {
      const os::TProgramFolders f = os::ProgramFolders(c.folder.string(), "tarnwick");
      return f.Settings + "|" + f.Work + "|" + (f.Installed ? "1" : "0");
    });
    EXPECT_EQ(got, c.want);
  }
  EXPECT_FALSE(fs::exists(home));  // asking creates nothing
}

TEST(KnownFolders, HomeFromTheAccountWhenUnset) {
  EnvVar home("HOME", nullptr);
  EXPECT_EQ(os::HomeFolder().front(), '/');
}

}  // namespace
