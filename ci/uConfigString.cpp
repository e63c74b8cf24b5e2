#include "ci/uConfigString.h"

#include "ci/uStrUtils.h"

#include <algorithm>

namespace uConfigString {
namespace {

constexpr size_t kNotFound = std::string_view::npos;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsIdentChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Reading position over a configuration string. Positions may run past the end (an escape as the
// last character skips two); every access checks against the size first.
struct Reader {
  std::string_view text;
  size_t pos = 0;

  bool AtEnd() const { return pos >= text.size(); }
  // True when there is no character after the current one.
  bool AtOrNearEnd() const { return pos + 1 >= text.size(); }

  void SkipSpace() {
    while (pos < text.size() && IsSpace(text[pos])) ++pos;
  }

  std::string_view ReadKey() {
    const size_t start = pos;
    while (pos < text.size() && IsIdentChar(text[pos])) ++pos;
    return start < text.size() ? text.substr(start, pos - start) : std::string_view();
  }

  // Reads a raw value up to the next ';' outside parentheses. Advances the position even when the
  // parentheses do not balance, so the caller can carry on with the next entry.
  bool ReadValue(std::string_view& raw) {
    if (AtEnd()) return false;
    const size_t start = pos;
    int depth = 0;
    while (pos < text.size() && (depth > 0 || text[pos] != ';')) {
      const char c = text[pos];
      if (c == '(') {
        ++depth;
      } else if (c == ')') {
        --depth;
      } else if (c == '\\') {
        ++pos;
      }
      ++pos;
    }
    if (depth != 0) return false;
    raw = text.substr(start, std::min(pos, text.size()) - start);
    return true;
  }
};

// Position where the first entry named key starts, or kNotFound.
size_t FindKey(std::string_view config, std::string_view key) {
  Reader reader{config};
  reader.SkipSpace();
  size_t candidate = reader.pos;
  std::string_view current = reader.ReadKey();
  while (!reader.AtOrNearEnd() && current != key) {
    reader.SkipSpace();
    ++reader.pos;  // the separator
    std::string_view ignored;
    reader.ReadValue(ignored);
    ++reader.pos;  // the ';'
    reader.SkipSpace();
    candidate = reader.pos;
    current = reader.ReadKey();
  }
  return reader.AtOrNearEnd() ? kNotFound : candidate;
}

bool DecodeValue(std::string_view raw, std::string& value) {
  if (!raw.empty() && raw.front() == '(') {
    if (raw.size() < 2 || raw.back() != ')') return false;
    value.assign(raw.substr(1, raw.size() - 2));
    return true;
  }
  value.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    // A trailing '\' has nothing to escape and is kept.
    if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
    value += raw[i];
  }
  return true;
}

}  // namespace

bool GetConfigString(std::string_view config, std::string_view key, std::string& value) {
  value.clear();
  if (key.empty()) return false;
  const size_t start = FindKey(config, key);
  if (start == kNotFound) return false;
  Reader reader{config};
  reader.pos = start + key.size();
  reader.SkipSpace();
  ++reader.pos;  // the separator
  std::string_view raw;
  if (!reader.ReadValue(raw)) return false;
  return DecodeValue(raw, value);
}

std::string EscapeConfigValue(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (const char c : value) {
    if (c == ';' || c == '(' || c == ')' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

bool GetConfigInteger(std::string_view config, std::string_view key, int32_t& value) {
  std::string text;
  if (!GetConfigString(config, key, text)) return false;
  return uStrUtils::TryStrToInt(text, value);
}

bool GetConfigBoolean(std::string_view config, std::string_view key, bool& value) {
  std::string text;
  if (!GetConfigString(config, key, text)) return false;
  return uStrUtils::TryStrToBool(text, value);
}

}  // namespace uConfigString
