// The daemon's configuration file as read, before any meaning is given to it:
// ordered sections of ordered key=value pairs. An IniDocument owns the file's
// bytes; every name and value it hands out is a view into them, valid as long
// as the document. Built and read on one thread (the main thread).
#ifndef TOLLBROOK_DAEMON_CONFIG_INI_FILE_H_
#define TOLLBROOK_DAEMON_CONFIG_INI_FILE_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.h"

namespace tollbrook {

// The largest configuration file accepted, in bytes (exactly this size is read).
inline constexpr size_t kMaxIniFileSize = 1024 * 1024;
// Paths of this length or longer are refused before the file is opened.
inline constexpr size_t kMaxIniPathLength = 1024;

inline constexpr std::string_view kGlobalSection = "global";

struct IniEntry {
  std::string_view key;
  std::string_view value;
};

// One section; a reopened section keeps gathering keys here.
class IniSection {
 public:
  explicit IniSection(std::string_view name) : name_(name) {}

  std::string_view name() const { return name_; }
  // The value of a key, compared byte for byte; nullopt when absent.
  std::optional<std::string_view> value(std::string_view key) const;
  // Keys in order of first appearance, each with its last value.
  const std::vector<IniEntry>& entries() const { return entries_; }

  // Adds a key, or replaces the value of an existing one in place. May throw
  // std::bad_alloc.
  void set(std::string_view key, std::string_view value);

 private:
  std::string_view name_;
  std::vector<IniEntry> entries_;
  std::unordered_map<std::string_view, size_t> index_;  // key -> position in entries_
};

class IniDocument {
 public:
  // [global] is always the first section, present even in an empty file.
  const IniSection& global() const { return sections_.front(); }
  // nullptr when the file has no such section (names compare byte for byte).
  const IniSection* section(std::string_view name) const;
  // Sections in order of first appearance.
  const std::vector<IniSection>& sections() const { return sections_; }

 private:
  friend class IniParser;
  IniDocument() = default;

  // Behind a pointer so that moving the document leaves the views valid.
  std::unique_ptr<const std::string> text_;
  std::vector<IniSection> sections_;
  std::unordered_map<std::string_view, size_t> index_;  // name -> position in sections_
};

// Reads the text of a configuration file; the document keeps its own copy.
// Fails only with OutOfMemory.
[[nodiscard]] Result<IniDocument> parseIniText(std::string_view text);

// Reads and parses a configuration file. Fails with NameTooLong (a path of
// kMaxIniPathLength bytes or more), InvalidArgument (a NUL byte in the path),
// FileTooBig (over kMaxIniFileSize), OutOfMemory, or the operating system's
// open and read errors (FileNotFound, AccessDenied, IsDir, ...).
[[nodiscard]] Result<IniDocument> readIniFile(std::string_view path);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_CONFIG_INI_FILE_H_
