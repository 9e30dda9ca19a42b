// What keeps a conversion from losing a scan: the source is read only when
// it is a regular file, and recognised again before it is deleted; the TIFF
// beside it is written to a file of its own in the target's folder, checked
// page for page with libtiff and only then renamed over the target's name.
// Nothing here keeps a handle beyond a call.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/rtl/Classes.h"
#include "platform/rtl/Handles.h"
#include "platform/rtl/SysUtils.h"

namespace converter {

using TFileGuardBase = rtl::Exception;
RTL_DECLARE_EXCEPTION(EFileGuardError, TFileGuardBase);
// A placement that was not to replace anything found the name taken.
RTL_DECLARE_EXCEPTION(ETargetTaken, EFileGuardError);

// What a placement does with a file already at the target's name.
enum class TPlacement {
  Replace,       // the new file takes the name
  KeepExisting,  // whatever lies there (a file, a link, a folder) stays: ETargetTaken
};

// Which file a name stood for, and what it held: a file replaced, or
// rewritten in place, under the same name is another file.
struct TFileIdentity {
  dev_t Device = 0;
  ino_t Inode = 0;
  int64_t Size = -1;
  int64_t ModifiedNs = 0;
  bool operator==(const TFileIdentity&) const = default;
};

// The regular file that path names (links followed). Raises EFileGuardError
// for a folder, a pipe, a device or a socket (none of them a scan, and a pipe
// would keep a reader waiting for ever) and for a name that cannot be looked
// up.
TFileIdentity IdentifyRegularFile(const std::string& path);
// Whether path still names that file, unchanged.
bool StillTheSame(const std::string& path, const TFileIdentity& id);
// Whether path itself (a link not followed) is that file.
bool IsPlacedFile(const std::string& path, const TFileIdentity& id);

// The whole regular file at exactly that name; never blocks on a pipe.
// Raises EFileGuardError.
void ReadRegularFile(const std::string& path, rtl::TMemoryStream& into);

// The pages of the TIFF open on fd that libtiff reads in full, every strip's
// data read back; -1 when the file is no TIFF or a page cannot be read, with
// why.
int ReadablePages(int fd, std::string& why);

// Puts a copy of workTiff at target: written to a file of its own in the
// target's folder, flushed to the disk, checked to hold expectedPages
// readable pages, then renamed over target (a link at target is replaced,
// never the file it points to). With TPlacement::KeepExisting it takes the
// name only where nothing lies there, in the one step of the rename, and
// raises ETargetTaken otherwise. Returns the identity of the file now at
// target. On any failure raises EFileGuardError saying why, and target and
// the folder are as they were.
//
// The file has a name in the target's folder only just before the rename
// (for the whole copy where the file system has no unnamed files). Before it
// gets that name, its name and identity go into the file note (in the
// process's work folder), so that a process killed in between leaves a
// record of it for RemoveLeftTemporary; the note is removed again before
// PlaceTiff returns or raises.
TFileIdentity PlaceTiff(const std::string& workTiff, const std::string& target, int expectedPages,
                        const std::string& note, TPlacement mode = TPlacement::Replace);

// Removes the temporary TIFF that the note of a process no longer running
// names, when that name still holds exactly that file: a regular file of
// the temporary's name pattern with no other name, and (where the note
// holds its identity) the very file, else one whose process is gone. Nothing
// else is touched; the note itself stays.
void RemoveLeftTemporary(const std::string& note);

// The TIFF of a document made where it is to lie, written once: a file with
// no name yet in the target's folder, to which the pages are appended by
// Path(), and which Place then flushes, checks and renames over target as
// PlaceTiff does. Until then nothing in the folder changes, and a run that
// is given up or killed leaves nothing behind. Where the file system makes
// no such file, Open says so, and the TIFF is made in the work folder and
// placed with PlaceTiff.
class TTiffBesideTarget {
 public:
  TTiffBesideTarget() = default;
  TTiffBesideTarget(const TTiffBesideTarget&) = delete;
  TTiffBesideTarget& operator=(const TTiffBesideTarget&) = delete;

  // False where no unnamed file can be made in the target's folder.
  bool Open(const std::string& target);
  // The name under which the open file is written.
  const std::string& Path() const { return path_; }
  // Raises EFileGuardError as PlaceTiff does, and keeps the note as
  // PlaceTiff does; the file is given up then.
  TFileIdentity Place(int expectedPages, const std::string& note, TPlacement mode = TPlacement::Replace);

 private:
  rtl::TFileDescriptor fd_;
  std::string target_;
  std::string folder_;
  std::string path_;
};

}  // namespace converter
