// The folder picker of the converter's form: a component with its title.
// Choosing a folder is not offered; the form only keeps the component.
#pragma once

#include <string>

#include "platform/rtl/Classes.h"

namespace controls {

inline constexpr const char* kFolderDialogTitle = "フォルダーの選択";

class TFolderDialog : public rtl::TComponent {
 public:
  explicit TFolderDialog(rtl::TComponent* owner = nullptr) : rtl::TComponent(owner) {}

  std::string Title = kFolderDialogTitle;
};

}  // namespace controls
