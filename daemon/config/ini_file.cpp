#include "daemon/config/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <span>
#include <utility>

#include "base/ascii.h"
#include "base/terminated_path.h"
#include "base/unique_fd.h"
#include "platform/errno_map.h"
#include "platform/io.h"

namespace tollbrook {

std::optional<std::string_view> IniSection::value(std::string_view key) const {
  auto found = index_.find(key);
  if (found == index_.end()) return std::nullopt;
  return entries_[found->second].value;
}

void IniSection::set(std::string_view key, std::string_view value) {
  auto [found, inserted] = index_.try_emplace(key, entries_.size());
  if (!inserted) {
    entries_[found->second].value = value;
    return;
  }
  try {
    entries_.push_back(IniEntry{key, value});
  } catch (...) {
    index_.erase(found);  // keep the index in step with the entries
    throw;
  }
}

const IniSection* IniDocument::section(std::string_view name) const {
  auto found = index_.find(name);
  return found == index_.end() ? nullptr : &sections_[found->second];
}

// Builds a document line by line. Throws std::bad_alloc, which parseIniText
// turns into OutOfMemory.
class IniParser {
 public:
  explicit IniParser(std::string_view text) {
    document_.text_ = std::make_unique<const std::string>(text);
    current_ = openSection(kGlobalSection);
  }

  IniDocument parse() && {
    std::string_view rest = *document_.text_;
    while (!rest.empty()) {
      size_t end = rest.find('\n');
      std::string_view line = rest.substr(0, end);
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
      readLine(trimBoth(line, isAnySpace));
    }
    return std::move(document_);
  }

 private:
  // Blank lines (CR LF files leave a lone CR, trimmed away) and comments say
  // nothing; "#" only starts a comment at the beginning of a line, so a value
  // may hold one.
  void readLine(std::string_view line) {
    if (line.empty() || line.front() == '#' || line.front() == ';') return;
    if (line.front() == '[') {
      readSectionHeader(line);
    } else {
      readKeyLine(line);
    }
  }

  // "[name]": text after the "]" is ignored. A header without "]" or with an
  // empty name is ignored and the current section continues.
  void readSectionHeader(std::string_view line) {
    size_t close = line.find(']');
    if (close == std::string_view::npos) return;
    std::string_view name = trimBoth(line.substr(1, close - 1), isAnySpace);
    if (name.empty()) return;
    current_ = openSection(name);
  }

  // "key = value": the first "=" splits; a line without one, or with an empty
  // key, is ignored.
  void readKeyLine(std::string_view line) {
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) return;
    std::string_view key = trimBoth(line.substr(0, equals), isAnySpace);
    if (key.empty()) return;
    std::string_view value = trimBoth(line.substr(equals + 1), isAnySpace);
    document_.sections_[current_].set(key, value);
  }

  // The position of the named section, created at the end when new.
  size_t openSection(std::string_view name) {
    auto [found, inserted] = document_.index_.try_emplace(name, document_.sections_.size());
    if (!inserted) return found->second;
    try {
      document_.sections_.emplace_back(name);
    } catch (...) {
      document_.index_.erase(found);
      throw;
    }
    return found->second;
  }

  IniDocument document_;
  size_t current_ = 0;
};

Result<IniDocument> parseIniText(std::string_view text) {
  try {
    return IniParser(text).parse();
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

namespace {

using IniPath = TerminatedPath<kMaxIniPathLength - 1>;

[[nodiscard]] Result<UniqueFd> openForReading(const IniPath& path) {
  for (;;) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return fail(errorFromErrno(errno));
  }
}

// Reads to end of file, but never more than one byte past the limit: an
// oversized file is recognised without reading it all.
Result<std::string> readBounded(int fd) {
  std::string bytes;
  try {
    struct stat info;
    if (::fstat(fd, &info) == 0 && info.st_size > static_cast<off_t>(kMaxIniFileSize)) {
      return fail(Error::FileTooBig);
    }
    bytes.resize(kMaxIniFileSize + 1);
    size_t used = 0;
    while (used < bytes.size()) {
      auto got = readSome(fd, std::span(bytes).subspan(used));
      if (!got) return fail(got.error());
      if (*got == 0) break;
      used += *got;
    }
    if (used > kMaxIniFileSize) return fail(Error::FileTooBig);
    bytes.resize(used);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return bytes;
}

}  // namespace

Result<IniDocument> readIniFile(std::string_view path) {
  auto terminated = IniPath::from(path);
  if (!terminated) return fail(terminated.error());
  auto fd = openForReading(*terminated);
  if (!fd) return fail(fd.error());
  auto bytes = readBounded(fd->get());
  if (!bytes) return fail(bytes.error());
  return parseIniText(*bytes);
}

}  // namespace tollbrook
