#include "bridge/uConfigFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <pugixml.hpp>

#include "ci/uFileUtils.h"
#include "ci/uXmlUtils.h"

namespace uConfigFile {

namespace {
// Reads a regular file whole. Anything else fails: pugixml's load_file would take a directory's
// size as about 2^63 and ask malloc for that, and a FIFO would block.
bool ReadRegularFile(const std::filesystem::path& file, std::string& content) {
  std::string ignored;
  return uFileUtils::ReadWholeFile(file, content, ignored, {.RegularOnly = true});
}

// Exactly one element at the top level and no text beside it. pugixml alone lets further
// elements and stray text after the root through, e.g. the tail of a longer older file.
pugi::xml_node SingleRoot(const pugi::xml_document& document) {
  pugi::xml_node root;
  for (const pugi::xml_node node : document.children()) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) return {};
    if (node.type() != pugi::node_element) continue;
    if (root) return {};
    root = node;
  }
  return root;
}
}  // namespace

bool LoadConfigFile(const std::filesystem::path& file, std::int32_t& port) {
  std::string content;
  if (!ReadRegularFile(file, content)) return false;
  pugi::xml_document document;
  // As a fragment, so that top-level text is kept for SingleRoot to see instead of dropped.
  if (!document.load_buffer(content.data(), content.size(),
                            pugi::parse_default | pugi::parse_fragment))
    return false;
  const pugi::xml_node root = SingleRoot(document);
  if (!root) return false;
  port = uXmlUtils::ReadXmlInteger(root, "WebPort", 0);
  return true;
}

std::string ConfigFileText(std::int32_t port) {
  return "<?xml version=\"1.0\" encoding=\"windows-1250\"?>\r\n<root WebPort=\"" +
         std::to_string(port) + "\"/>\r\n";
}

namespace {
std::string ErrnoText(const std::string& what, const std::filesystem::path& file) {
  return what + " \"" + file.string() + "\": " + std::strerror(errno);
}
}  // namespace

bool SaveConfigFile(const std::filesystem::path& file, std::int32_t port, std::string& error) {
  const std::string text = ConfigFileText(port);
  std::filesystem::path temporary = file;
  temporary += ".tmp." + std::to_string(::getpid());

  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = ErrnoText("Cannot write", file);
    return false;
  }
  bool ok = true;
  if (const int err = uFileUtils::WriteAll(fd, text); err != 0) {
    errno = err;
    error = ErrnoText("Cannot write", file);
    ok = false;
  }
  if (ok && ::fsync(fd) != 0) {
    error = ErrnoText("Cannot write", file);
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    error = ErrnoText("Cannot write", file);
    ok = false;
  }
  if (ok && ::rename(temporary.c_str(), file.c_str()) != 0) {
    error = ErrnoText("Cannot replace", file);
    ok = false;
  }
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

}  // namespace uConfigFile
