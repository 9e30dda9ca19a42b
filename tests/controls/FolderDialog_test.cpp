#include "controls/FolderDialog.h"

#include <gtest/gtest.h>

#include "platform/forms/Dialogs.h"
#include "platform/forms/Forms.h"

namespace {

// The dialog asks the presenter with its title and start folder; the chosen
// folder replaces Directory, a cancel leaves it.
TEST(FolderDialogTest, ExecuteAsksThePresenterWithTheTitleAndKeepsTheChosenFolder) {
  controls::TFolderDialog orphan;
  orphan.Directory = "/scans";
  EXPECT_FALSE(orphan.Execute()) << "nobody to ask without an application";
  EXPECT_EQ(orphan.Directory, "/scans");

  forms::TApplication app;
  auto scripted = std::make_unique<forms::TScriptedPresenter>();
  forms::TScriptedPresenter& presenter = *scripted;
  app.SetPresenter(std::move(scripted));
  controls::TFolderDialog dialog(&app);
  EXPECT_EQ(dialog.Title, "フォルダーの選択");
  dialog.Directory = "/scans";
  presenter.FolderAnswers.push_back("/scans/inbox");
  EXPECT_TRUE(dialog.Execute());
  EXPECT_EQ(dialog.Directory, "/scans/inbox");
  EXPECT_FALSE(dialog.Execute());
  EXPECT_EQ(dialog.Directory, "/scans/inbox");
  EXPECT_EQ(presenter.FolderTitles, (std::vector<std::string>{"フォルダーの選択", "フォルダーの選択"}));

  // Headless, nobody chooses.
  app.SetPresenter(std::make_unique<forms::TQuietPresenter>());
  EXPECT_FALSE(dialog.Execute());
  EXPECT_EQ(dialog.Directory, "/scans/inbox");
}

}  // namespace
