#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Locale-independent text helpers: ASCII letter case, and conversions of text to numbers and
// booleans. None of them throws, and each reads only the characters of the given view (no
// terminating NUL is needed or looked at).
namespace uStrUtils {

// ASCII letter case: only 'A'..'Z' and 'a'..'z' change, every other byte (UTF-8 included)
// stays as it is, whatever the locale.
constexpr char AsciiLower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr char AsciiUpper(char c) noexcept {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
std::string AsciiLower(std::string_view text);
std::string AsciiUpper(std::string_view text);
// Equal apart from ASCII letter case.
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) noexcept;
// text ends with suffix, apart from ASCII letter case.
bool EndsWithIgnoreAsciiCase(std::string_view text, std::string_view suffix) noexcept;

// Value of a hexadecimal digit of either case, or -1.
constexpr int HexDigitValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Converts a 32-bit integer. Leading spaces (' ' only) are skipped, then an optional '+' or '-'.
// A hexadecimal number starts with "$", "x", "X", "0x" or "0X" and has 1 to 8 hex digits of
// either case; the digits are a 32-bit pattern, so "$FFFFFFFF" is -1, and a '-' negates the
// pattern with wrap-around ("-$80000000" is -2147483648). Otherwise one or more decimal digits
// (leading zeros allowed) whose value lies in -2147483648 .. 2147483647. The number must reach
// the end of the text; anything after it, a space included, is an error.
// Returns false and sets value to 0 on failure.
bool TryStrToInt(std::string_view text, int32_t& value);

// The decimal separator of the user's numeric locale (LC_NUMERIC from the environment), looked
// up once and cached; '.' when that locale is unavailable or its separator is not one byte.
// Safe to call from several threads.
char DecimalSeparator();

// Converts a floating-point number written as: optional whitespace (space, tab, CR, LF),
// optional sign, digits with an optional fraction after decimalSeparator (at least one
// digit in all: "1", "1,5", ",5", "5," with ','), an optional exponent ('e' or 'E', optional
// sign, at least one digit), optional whitespace. Nothing else is accepted: no "inf"/"nan", no
// hex floats, no thousands separators, and '.' is not a separator unless it is decimalSeparator.
// Magnitudes too large for a double, and non-zero ones too small for it, are an error.
// Returns false and sets value to 0 on failure.
bool TryStrToFloat(std::string_view text, double& value, char decimalSeparator);
// The same with DecimalSeparator().
bool TryStrToFloat(std::string_view text, double& value);

// Converts a boolean: a number as TryStrToFloat reads it gives true when non-zero and false when
// zero; otherwise "True" or "False" in any ASCII letter case, with nothing around it.
// Returns false and sets value to false on failure.
bool TryStrToBool(std::string_view text, bool& value, char decimalSeparator);
// The same with DecimalSeparator().
bool TryStrToBool(std::string_view text, bool& value);

// Decodes "%XX" escapes (either case); an escape without two hex digits stays as it is. With
// plusIsSpace, '+' becomes a space (form bodies).
std::string PercentDecode(std::string_view text, bool plusIsSpace);

}  // namespace uStrUtils
