// Settings files in the private-profile format:
//
//   [Section]
//   Key=Value
//
// Sections and keys are found ignoring case; when a section or a key occurs
// twice, the first one counts. Names and values are read with the blanks
// around them removed and one pair of enclosing quotes taken off. A write
// changes only the line of its own key (or adds one line, or a section header
// and one line): every other byte of the file stays as it was, comments and
// odd lines included.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

namespace rtl {

inline constexpr const char* SIniFileWriteError = "Unable to write to %s";
inline constexpr const char* SIniFileBadName = "Invalid name or value for %s: %s";
inline constexpr const char* SIniFileReadError = "Unable to read %s: %s";
// A larger file, or anything but a regular file, is not read: its keys read
// as missing and writes to it raise EIniFileException.
inline constexpr size_t kMaxIniFileBytes = 16u << 20;

// A value of any bytes but zero, for a file whose values cannot hold a line
// break, blanks at their ends or enclosing quotes: the value itself when it
// reads back unchanged and does not start with "%", else a "%" encoding of
// every byte that would not (and of the first, so that it starts with "%").
// DecodeIniValue undoes it; false for a value that starts with "%" and is no
// such encoding. A value without the "%" is taken as it stands, so files
// written before any value was encoded read as before.
std::string EncodeIniValue(const std::string& value);
bool DecodeIniValue(const std::string& stored, std::string& value);

// The bytes of one settings file and the edits on them, in memory.
class TIniContent {
 public:
  TIniContent() = default;
  explicit TIniContent(std::string bytes);

  const std::string& Bytes() const { return bytes_; }

  // True and the value when the section holds the key.
  bool Find(const std::string& section, const std::string& key, std::string& value) const;
  // The keys of the first section of that name, in file order.
  std::vector<std::string> Keys(const std::string& section) const;
  // The keys of the first section of that name with their values, in file
  // order (a key given twice is listed twice).
  std::vector<std::pair<std::string, std::string>> Values(const std::string& section) const;
  // Every section name once, in file order, as first spelled.
  std::vector<std::string> Sections() const;
  // Replaces the key's line, or adds one at the end of its section, or adds
  // the section at the end of the file. Names and values holding a line
  // break (or names holding "=" or "]") would change other entries and are
  // refused with false.
  bool Write(const std::string& section, const std::string& key, const std::string& value);
  // Adds an empty section at the end unless one of that name exists;
  // false for a name that Write would refuse.
  bool AddSection(const std::string& section);
  // Removes every line of the key in the sections of that name.
  void DeleteKey(const std::string& section, const std::string& key);
  // Removes every section of that name with its lines.
  void EraseSection(const std::string& section);
  // Removes every section of that name and adds one at the end holding the
  // entries in order; the file is parsed twice however many there are.
  // False, and nothing changed, when a name or value would be refused by
  // Write.
  bool ReplaceSection(const std::string& section,
                      const std::vector<std::pair<std::string, std::string>>& entries);

 private:
  enum Kind { kOther, kSection, kKey };
  struct Line {
    size_t begin = 0, end = 0, next = 0;  // text [begin, end), line break up to next
    Kind kind = kOther;
    std::string name;   // section or key name, trimmed
    std::string value;  // key value, trimmed and unquoted
  };
  void Parse();
  // Line index ranges [first, last) of the keys of each section of that name.
  std::vector<std::pair<size_t, size_t>> Ranges(const std::string& section) const;
  std::string LineBreak() const;

  std::string bytes_;
  std::vector<Line> lines_;
};

// A settings file on disk. Every read loads the file afresh (another program
// may have written it); a missing or unreadable file reads as empty. Every
// write loads, edits and replaces the file atomically: the new content goes
// into a temporary file beside it, which is then renamed over it, so a crash
// never leaves half a file. The termination signals (SIGHUP, SIGINT,
// SIGQUIT, SIGTERM) are held off while a save runs, so that a signal cannot
// end the program between the temporary file and the rename; they arrive
// when it is done. The file is created by the first write. A write that
// fails raises EIniFileException "Unable to write to <file>".
class TIniFile : public TObject {
 public:
  explicit TIniFile(std::string fileName) : FileName(std::move(fileName)) {}

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  // The default when the key is missing or its value is no integer ("0x" and
  // "$" hexadecimal accepted).
  int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;
  bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int value);
  void WriteBool(const std::string& section, const std::string& key, bool value);  // "1" or "0"

  // Fills strings with the keys of the section / the names of the sections.
  void ReadSection(const std::string& section, TStringList& strings) const;
  void ReadSections(TStringList& strings) const;
  // "key=value" lines of the section.
  void ReadSectionValues(const std::string& section, TStringList& strings) const;
  // As in the design: a section exists when it holds at least one key.
  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;
  void EraseSection(const std::string& section);
  void DeleteKey(const std::string& section, const std::string& key);
  // Writes an empty section header unless the section is there.
  void AddSection(const std::string& section);
  // Writes go to the file at once; nothing is held back.
  void UpdateFile() {}

  // The whole file, read and parsed once, for a caller that reads many keys.
  // A missing file is empty; one that exists but cannot be read (no
  // permission, a folder, a pipe, beyond kMaxIniFileBytes) raises
  // EIniFileException "Unable to read <file>: <reason>", so that a caller
  // can tell it from a file that is not there.
  TIniContent Read() const;
  // One read, the caller's edits, one atomic replacement: several keys are
  // written as one change. Raises as the writes do.
  void Update(const std::function<void(TIniContent&)>& edit);

  // Removes the temporary files that saves of this file by processes no
  // longer running left beside it (a save killed where no signal could be
  // put off).
  void RemoveStaleTemporaries() const;

  const std::string FileName;

 private:
  TIniContent Load() const;
  void Save(const TIniContent& content, const std::string& original);
};

}  // namespace rtl
