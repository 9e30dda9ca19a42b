// The folder picker of the converter's form: a component with its title.
// Execute lets the user choose a folder through the application's
// presenter (a folder dialog on a display); the converter's form only keeps
// the component and never opens it.
#pragma once

#include <string>

#include "platform/rtl/Classes.h"

namespace controls {

inline constexpr const char* kFolderDialogTitle = "フォルダーの選択";

class TFolderDialog : public rtl::TComponent {
 public:
  explicit TFolderDialog(rtl::TComponent* owner = nullptr) : rtl::TComponent(owner) {}

  // Shows the dialog at Directory; true when a folder was chosen, which is
  // then Directory. Without an application or a display: false.
  bool Execute();

  std::string Title = kFolderDialogTitle;
  std::string Directory;
};

}  // namespace controls
