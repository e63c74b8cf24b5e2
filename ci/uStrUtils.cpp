#include "ci/uStrUtils.h"

#include <langinfo.h>
#include <locale.h>

#include <charconv>
#include <string>
#include <system_error>

namespace uStrUtils {
namespace {

bool IsDecDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsFloatSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char LookUpDecimalSeparator() {
  locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return '.';
  char separator = '.';
  const char* radix = nl_langinfo_l(RADIXCHAR, loc);
  if (radix != nullptr && radix[0] != '\0' && radix[1] == '\0') separator = radix[0];
  freelocale(loc);
  return separator;
}

// Parses the accepted float syntax into "-digits.digitsE-digits" form for std::from_chars.
bool NormalizeFloat(std::string_view text, char decimalSeparator, std::string& out) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && IsFloatSpace(text[i])) ++i;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') out += '-';
    ++i;
  }
  size_t digits = 0;
  const size_t intStart = i;
  while (i < n && IsDecDigit(text[i])) ++i;
  digits += i - intStart;
  if (digits == 0) out += '0';
  out.append(text.substr(intStart, i - intStart));
  if (i < n && text[i] == decimalSeparator) {
    ++i;
    const size_t fracStart = i;
    while (i < n && IsDecDigit(text[i])) ++i;
    digits += i - fracStart;
    if (i > fracStart) {
      out += '.';
      out.append(text.substr(fracStart, i - fracStart));
    }
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    out += 'e';
    if (i < n && (text[i] == '+' || text[i] == '-')) {
      out += text[i];
      ++i;
    }
    const size_t expStart = i;
    while (i < n && IsDecDigit(text[i])) ++i;
    if (i == expStart) return false;
    out.append(text.substr(expStart, i - expStart));
  }
  while (i < n && IsFloatSpace(text[i])) ++i;
  return i == n;
}

}  // namespace

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool EndsWithIgnoreAsciiCase(std::string_view text, std::string_view suffix) noexcept {
  return text.size() >= suffix.size() &&
         EqualsIgnoreAsciiCase(text.substr(text.size() - suffix.size()), suffix);
}

bool TryStrToInt(std::string_view text, int32_t& value) {
  value = 0;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }

  bool hex = false;
  if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    i += 1;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }

  if (hex) {
    const size_t start = i;
    uint32_t pattern = 0;
    for (; i < n; ++i) {
      const int digit = HexDigitValue(text[i]);
      if (digit < 0 || i - start == 8) return false;
      pattern = (pattern << 4) | static_cast<uint32_t>(digit);
    }
    if (i == start) return false;
    if (negative) pattern = 0u - pattern;
    value = static_cast<int32_t>(pattern);  // modular conversion, well defined since C++20
    return true;
  }

  const size_t start = i;
  const uint64_t limit = negative ? 2147483648u : 2147483647u;
  uint64_t magnitude = 0;
  for (; i < n; ++i) {
    if (!IsDecDigit(text[i])) return false;
    magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
    if (magnitude > limit) return false;
  }
  if (i == start) return false;
  value = negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(magnitude))
                   : static_cast<int32_t>(magnitude);
  return true;
}

char DecimalSeparator() {
  static const char separator = LookUpDecimalSeparator();
  return separator;
}

bool TryStrToFloat(std::string_view text, double& value, char decimalSeparator) {
  value = 0;
  std::string normalized;
  normalized.reserve(text.size() + 2);
  if (!NormalizeFloat(text, decimalSeparator, normalized)) return false;
  double result = 0;
  const char* end = normalized.data() + normalized.size();
  const auto [ptr, ec] = std::from_chars(normalized.data(), end, result);
  if (ec != std::errc() || ptr != end) return false;
  value = result;
  return true;
}

bool TryStrToFloat(std::string_view text, double& value) {
  return TryStrToFloat(text, value, DecimalSeparator());
}

bool TryStrToBool(std::string_view text, bool& value, char decimalSeparator) {
  value = false;
  double number = 0;
  if (TryStrToFloat(text, number, decimalSeparator)) {
    value = number != 0;
    return true;
  }
  if (EqualsIgnoreAsciiCase(text, "True")) {
    value = true;
    return true;
  }
  return EqualsIgnoreAsciiCase(text, "False");
}

bool TryStrToBool(std::string_view text, bool& value) {
  return TryStrToBool(text, value, DecimalSeparator());
}

std::string PercentDecode(std::string_view text, bool plusIsSpace) {
  const auto hex = HexDigitValue;
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (plusIsSpace && c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace uStrUtils
