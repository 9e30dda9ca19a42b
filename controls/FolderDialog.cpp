#include "controls/FolderDialog.h"

#include "platform/forms/Dialogs.h"

namespace controls {

bool TFolderDialog::Execute() {
  if (!forms::Application) return false;
  std::string folder = Directory;
  if (!forms::Application->Presenter().ChooseFolder(Title, folder)) return false;
  Directory = folder;
  return true;
}

}  // namespace controls
