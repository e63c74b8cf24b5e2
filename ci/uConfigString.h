#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Lookups in configuration strings such as "provider=HID;vid=$2047;pid=$0301".
//
// A configuration string is a list of entries separated by ';'. An entry is optional whitespace
// (space, tab, CR, LF), a key made of ASCII letters, digits and '_', optional whitespace, one
// separator character (normally '=', but whatever character stands there is skipped), and the
// value: everything up to the next ';' that is outside parentheses, or the end. Whitespace in and
// around the value belongs to it.
//
// Inside a value '\' escapes the next character, which then neither ends the value nor counts as
// a parenthesis; '(' and ')' nest, and a ';' inside them does not end the value. A value whose
// first character is '(' must end with the matching ')' and yields the text between the outer
// parentheses as written, backslashes included. Any other value yields its text with each '\'
// removed and the character after it kept ("x\;y" gives "x;y", "\\" gives "\"). A '\' that is the
// last character of a plain value has nothing to escape and is kept as it is ("x\" gives "x\").
// Unbalanced parentheses make the value malformed.
//
// Keys compare case-sensitively as whole identifiers and the first occurrence counts. An empty
// key never matches. An entry with no character after its separator position, i.e. a key at the
// very end of the string ("a=1;k=" or "a=1;k"), is not found. Nothing here throws, and only the
// characters of the given view are read; every byte value may occur in a value.
namespace uConfigString {

// Looks up key and stores its decoded value. Sets value to "" first, so it stays empty when the
// key is missing or its value is malformed; returns false in those cases.
bool GetConfigString(std::string_view config, std::string_view key, std::string& value);

// Looks up key and converts its value with uStrUtils::TryStrToInt. Leaves value untouched and
// returns false when the key is missing or its value is malformed; when the conversion fails,
// returns false with value set to 0 by the conversion.
bool GetConfigInteger(std::string_view config, std::string_view key, int32_t& value);

// As GetConfigInteger, converting with uStrUtils::TryStrToBool and the user's decimal separator;
// a failed conversion leaves value false.
bool GetConfigBoolean(std::string_view config, std::string_view key, bool& value);

// The value as it must be written after "key=" so that GetConfigString gives it back byte for
// byte: each ';', '(', ')' and backslash gets a backslash in front. For values that come from
// outside, such as a device's serial number.
std::string EscapeConfigValue(std::string_view value);

}  // namespace uConfigString
