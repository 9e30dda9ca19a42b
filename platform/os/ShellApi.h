// Shell services: starting a program or opening an address, and the file
// operation that empties folders into the user's Trash (freedesktop.org
// Trash specification, home trash only).
//
// A file operation takes a double-NUL-terminated list of names, the last
// component of each may hold the shell wildcards "*" and "?", matched
// without regard to ASCII letter case. There are no dialogs on this
// platform: the confirmation and progress flags are accepted and have no
// visible effect, and every outcome is returned, per file, in the record.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace os {

// Function codes. Only the delete is provided; the others fail with
// ENOTSUP, nothing is touched.
enum : unsigned { FO_MOVE = 1, FO_COPY = 2, FO_DELETE = 3, FO_RENAME = 4 };

// Operation flags.
enum : unsigned {
  FOF_MULTIDESTFILES = 1u << 0,
  FOF_CONFIRMMOUSE = 1u << 1,
  FOF_SILENT = 1u << 2,
  FOF_RENAMEONCOLLISION = 1u << 3,
  FOF_NOCONFIRMATION = 1u << 4,
  FOF_WANTMAPPINGHANDLE = 1u << 5,
  FOF_ALLOWUNDO = 1u << 6,
  FOF_FILESONLY = 1u << 7,
  FOF_SIMPLEPROGRESS = 1u << 8,
  FOF_NOCONFIRMMKDIR = 1u << 9,
  FOF_NOERRORUI = 1u << 10,
};

// What happened to one file of an operation.
enum TFileOpOutcome {
  fooTrashed,         // moved into the Trash, restorable
  fooDeleted,         // removed for good, as asked (no FOF_ALLOWUNDO)
  fooDeletedNoTrash,  // FOF_ALLOWUNDO asked, the Trash could not take it,
                      // and FOF_NOCONFIRMATION allowed removing it for good
  fooKept,            // the Trash could not take it and removing it for
                      // good needed a confirmation nobody can give: kept
  fooFailed,          // the operation failed on this name
};

struct TFileOpResult {
  std::string Path;  // the name as matched (mask expanded)
  TFileOpOutcome Outcome = fooFailed;
  int Error = 0;        // errno of the failure, 0 when none
  std::string Message;  // why the Trash was not used, or what failed
};

// The record of one shell file operation.
struct SHFILEOPSTRUCT {
  uintptr_t hwnd = 0;  // owner window, unused without dialogs
  unsigned wFunc = 0;
  std::string pFrom;  // double-NUL-terminated list of names
  std::string pTo;    // likewise; unused by the delete
  unsigned fFlags = 0;
  bool fAnyOperationsAborted = false;  // set when any name was not done
  void* hNameMappings = nullptr;
  std::string lpszProgressTitle;
  // The Trash folder (holding files/ and info/); empty: the user's home
  // trash, $XDG_DATA_HOME/Trash or ~/.local/share/Trash.
  std::filesystem::path TrashFolder;
  std::vector<TFileOpResult> Results;  // filled by the operation, in order
};

// Runs the operation. Returns 0 when every name was done as asked, else the
// errno of the first failure (ENOENT for a name without a wildcard that
// names nothing). A mask that matches nothing is not a failure.
int SHFileOperation(SHFILEOPSTRUCT& op);

// Splits a double-NUL-terminated list; an empty list gives no names.
std::vector<std::string> SplitNulList(const std::string& list);

// True when name matches the mask: "*" any run, "?" one byte, ASCII letters
// compared without case, every other byte literally.
bool MatchesMask(const std::string& name, const std::string& mask);

// Starts a program the way the desktop shell does: file is an executable,
// started with args as its arguments, each one argument as it stands (no
// shell, no quoting), in the folder dir (empty: the executable's folder).
// A web or mail address (http:, https:, mailto:) is handed to xdg-open.
// The program runs on its own, in a session of its own; nobody waits for
// it. Returns 0, or the errno of the failed start.
int ShellExecute(const std::string& file, const std::vector<std::string>& args, const std::string& dir);

// Opens a document the way the desktop shell's "Open" does: xdg-open starts
// the application associated with the file's type, on its own; nobody waits
// for it. Returns 0 once the opener has started, ENOENT when the file or
// xdg-open is missing, or the errno of the failed start.
int ShellOpenDocument(const std::string& file);

// True for the addresses ShellExecute hands to xdg-open.
bool IsWebOrMailAddress(const std::string& s);

// The user's home trash folder.
std::filesystem::path HomeTrashFolder();

// The freedesktop.org home trash: files/ holds the trashed files, info/ a
// ".trashinfo" record per file with its original path and deletion time.
class TTrash {
 public:
  explicit TTrash(std::filesystem::path folder);
  const std::filesystem::path& Folder() const { return folder_; }

  // Moves path (a file or a folder, by absolute name) into the Trash.
  // Returns 0, or the errno of the failure with why in message; on failure
  // nothing is changed.
  int Put(const std::filesystem::path& path, std::string& message);

 private:
  std::filesystem::path folder_;
};

}  // namespace os
