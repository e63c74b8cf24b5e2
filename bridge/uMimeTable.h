#pragma once
// The content types the HTTP server sends for page files and device answers, looked up by
// file extension: a built-in list, merged with the platform's registry of content types.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace uMimeTable {

inline constexpr const char* kDefaultMimeType = "application/octet-stream";

class TMimeTable {
 public:
  // Built-in rows, with every extension listed in platformTypes ("type ext1 ext2 ...", '#'
  // comments) setting its type: replacing the type of the rows with that extension, or
  // appended as a new row. A missing or unreadable file leaves the built-in rows. The first
  // row for an extension wins.
  explicit TMimeTable(const std::filesystem::path& platformTypes = "/etc/mime.types");

  // The type for the extension of the last path component (from its last '.', compared
  // case-insensitively); kDefaultMimeType when the extension is unknown or there is none.
  std::string LookupMimeType(std::string_view fileName) const;

  // Extensions known.
  std::size_t Count() const { return types_.size(); }

  // The built-in (extension, type) rows in order, extensions with their leading '.'.
  static const std::vector<std::pair<std::string, std::string>>& BuiltInRows();

 private:
  std::unordered_map<std::string, std::string> types_;  // lower-cased ".ext" -> type
};

}  // namespace uMimeTable
