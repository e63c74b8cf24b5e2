#include "ci/uStrUtils.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace std::string_view_literals;

namespace {

struct IntCase {
  std::string_view text;
  bool ok;
  int32_t value;  // expected value; 0 for failures
};

TEST(StrUtilsTest, TryStrToIntTable) {
  const IntCase cases[] = {
      // Decimal, including the range limits.
      {"0", true, 0},
      {"123", true, 123},
      {"+7", true, 7},
      {"-7", true, -7},
      {"-0", true, 0},
      {"007", true, 7},
      {"000000000000000000000000042", true, 42},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"+2147483648", false, 0},
      {"99999999999999999999999999", false, 0},
      // Hexadecimal prefixes and digit counts.
      {"$2047", true, 8263},
      {"$0301", true, 769},
      {"x1F", true, 31},
      {"X1f", true, 31},
      {"0x1F", true, 31},
      {"0XaB", true, 171},
      {"$12345678", true, 0x12345678},
      {"$123456789", false, 0},
      {"$000000001", false, 0},
      {"$7FFFFFFF", true, INT32_MAX},
      {"$80000000", true, INT32_MIN},
      {"$FFFFFFFF", true, -1},
      {"-$10", true, -16},
      {"+$10", true, 16},
      {"-$80000000", true, INT32_MIN},
      {"-$FFFFFFFF", true, 1},
      {"$G", false, 0},
      {"$1G", false, 0},
      {"$-1", false, 0},
      {"00x1", false, 0},
      // Whitespace: leading spaces only.
      {"   42", true, 42},
      {"  -$10", true, -16},
      {"\t42", false, 0},
      {"- 5", false, 0},
      {"4 2", false, 0},
      // Trailing characters.
      {"42 ", false, 0},
      {"42x", false, 0},
      {"$10 ", false, 0},
      {"1.0", false, 0},
      {"5\0"sv, false, 0},
      // Nothing to convert.
      {"", false, 0},
      {"   ", false, 0},
      {"+", false, 0},
      {"-", false, 0},
      {"--5", false, 0},
      {"$", false, 0},
      {"x", false, 0},
      {"0x", false, 0},
      {"-0X", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("text: \"") + std::string(c.text) + "\"");
    int32_t value = 12345;
    EXPECT_EQ(uStrUtils::TryStrToInt(c.text, value), c.ok);
    EXPECT_EQ(value, c.value);
  }
}

// The conversions must stop at the end of the view, not at a terminating NUL.
TEST(StrUtilsTest, ReadsOnlyTheGivenView) {
  const std::string buffer = "123456 $FFx 1.5e3";
  int32_t integer = 0;
  EXPECT_TRUE(uStrUtils::TryStrToInt(std::string_view(buffer).substr(0, 3), integer));
  EXPECT_EQ(integer, 123);
  EXPECT_TRUE(uStrUtils::TryStrToInt(std::string_view(buffer).substr(7, 3), integer));
  EXPECT_EQ(integer, 255);
  double number = 0;
  EXPECT_TRUE(uStrUtils::TryStrToFloat(std::string_view(buffer).substr(12, 3), number, '.'));
  EXPECT_DOUBLE_EQ(number, 1.5);
  EXPECT_FALSE(uStrUtils::TryStrToFloat(std::string_view(buffer).substr(12, 4), number, '.'));
}

struct FloatCase {
  std::string_view text;
  char separator;
  bool ok;
  double value;  // expected value; 0 for failures
};

TEST(StrUtilsTest, TryStrToFloatTable) {
  const FloatCase cases[] = {
      {"1.5", '.', true, 1.5},
      {"1.5", ',', false, 0},
      {"1,5", ',', true, 1.5},
      {"1,5", '.', false, 0},
      {",5", ',', true, 0.5},
      {"5,", ',', true, 5},
      {"1", ',', true, 1},
      {"+1.5", '.', true, 1.5},
      {"-1.5", '.', true, -1.5},
      {"-0", '.', true, 0},
      {" 1 ", '.', true, 1},
      {"\t\r\n1.25\n\r\t ", '.', true, 1.25},
      {"1e3", '.', true, 1000},
      {"1E+3", '.', true, 1000},
      {"2,5e-1", ',', true, 0.25},
      {"5.e2", '.', true, 500},
      {".5E1", '.', true, 5},
      {"0.1000000000000000055511151231257827", '.', true, 0.1},
      // Malformed numbers.
      {".", '.', false, 0},
      {",", ',', false, 0},
      {"e3", '.', false, 0},
      {".e3", '.', false, 0},
      {"1e", '.', false, 0},
      {"1e+", '.', false, 0},
      {"1e3.5", '.', false, 0},
      {"1.5.2", '.', false, 0},
      {"--1", '.', false, 0},
      {"+-1", '.', false, 0},
      {"- 1", '.', false, 0},
      {"1 000", '.', false, 0},
      {"1,000.5", '.', false, 0},
      {"1.000,5", ',', false, 0},
      {"\v1", '.', false, 0},
      {"1x", '.', false, 0},
      {"1\0"sv, '.', false, 0},
      // Only plain decimal notation.
      {"inf", '.', false, 0},
      {"-infinity", '.', false, 0},
      {"nan", '.', false, 0},
      {"0x1p3", '.', false, 0},
      // Out of the range of double, either way.
      {"1e400", '.', false, 0},
      {"1e-400", '.', false, 0},
      // Nothing to convert.
      {"", '.', false, 0},
      {"  ", '.', false, 0},
      {"+", '.', false, 0},
      {"-", '.', false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("text: \"") + std::string(c.text) + "\", separator '" + c.separator +
                 "'");
    double value = 123.0;
    EXPECT_EQ(uStrUtils::TryStrToFloat(c.text, value, c.separator), c.ok);
    EXPECT_DOUBLE_EQ(value, c.value);
  }
}

struct BoolCase {
  std::string_view text;
  char separator;
  bool ok;
  bool value;  // expected value; false for failures
};

TEST(StrUtilsTest, TryStrToBoolTable) {
  const BoolCase cases[] = {
      // Numbers: zero is false, anything else true.
      {"0", ',', true, false},
      {"0,0", ',', true, false},
      {"-0", '.', true, false},
      {"0e5", '.', true, false},
      {"1", '.', true, true},
      {"-1", '.', true, true},
      {"2", '.', true, true},
      {"1.5", '.', true, true},
      {"0.001", '.', true, true},
      {" 1 ", '.', true, true},
      {"1e3", '.', true, true},
      {"1.5", ',', false, false},
      {"0.0", ',', false, false},
      // Words, in any letter case, with nothing around them.
      {"True", '.', true, true},
      {"true", '.', true, true},
      {"TRUE", '.', true, true},
      {"False", '.', true, false},
      {"FALSE", '.', true, false},
      {"fAlSe", '.', true, false},
      {" true", '.', false, false},
      {"true ", '.', false, false},
      {"tru", '.', false, false},
      {"truex", '.', false, false},
      {"yes", '.', false, false},
      {"on", '.', false, false},
      {"", '.', false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("text: \"") + std::string(c.text) + "\", separator '" + c.separator +
                 "'");
    bool value = true;
    EXPECT_EQ(uStrUtils::TryStrToBool(c.text, value, c.separator), c.ok);
    EXPECT_EQ(value, c.value);
  }
}

TEST(StrUtilsTest, DefaultSeparatorIsTheUserOne) {
  const char separator = uStrUtils::DecimalSeparator();
  const std::string text = std::string("1") + separator + "5";
  double number = 0;
  EXPECT_TRUE(uStrUtils::TryStrToFloat(text, number));
  EXPECT_DOUBLE_EQ(number, 1.5);
  bool flag = false;
  EXPECT_TRUE(uStrUtils::TryStrToBool(std::string("0") + separator + "5", flag));
  EXPECT_TRUE(flag);
}

// The separator is looked up lazily; concurrent first calls must agree and not race.
TEST(StrUtilsTest, DecimalSeparatorFromSeveralThreads) {
  std::vector<char> seen(8, '\0');
  std::vector<std::thread> threads;
  threads.reserve(seen.size());
  for (auto& slot : seen) {
    threads.emplace_back([&slot] { slot = uStrUtils::DecimalSeparator(); });
  }
  for (auto& thread : threads) thread.join();
  for (const char separator : seen) EXPECT_EQ(separator, uStrUtils::DecimalSeparator());
}

// Letter case is ASCII only: bytes outside 'A'..'Z' / 'a'..'z' (digits, punctuation, UTF-8
// bytes such as those of "Ž", 0x80..0xFF under any locale) stay as they are.
struct CaseRow {
  std::string_view text;
  std::string_view lower;
  std::string_view upper;
};

TEST(StrUtilsTest, AsciiCaseTable) {
  const CaseRow rows[] = {
      {"", "", ""},
      {"Content-Type", "content-type", "CONTENT-TYPE"},
      {"@[`{09", "@[`{09", "@[`{09"},  // the neighbours of the letter ranges
      {"\xC5\xBDlu\xC5\xA5ou\xC4\x8Dk\xC3\xBD", "\xC5\xBDlu\xC5\xA5ou\xC4\x8Dk\xC3\xBD",
       "\xC5\xBDLU\xC5\xA5OU\xC4\x8DK\xC3\xBD"},
      {std::string_view("a\0B", 3), std::string_view("a\0b", 3), std::string_view("A\0B", 3)},
  };
  for (const CaseRow& row : rows) {
    SCOPED_TRACE(std::string(row.text));
    EXPECT_EQ(uStrUtils::AsciiLower(row.text), row.lower);
    EXPECT_EQ(uStrUtils::AsciiUpper(row.text), row.upper);
  }
  for (int c = 0; c < 256; ++c) {
    const char ch = static_cast<char>(c);
    const bool upper = c >= 'A' && c <= 'Z';
    const bool lower = c >= 'a' && c <= 'z';
    EXPECT_EQ(uStrUtils::AsciiLower(ch), upper ? static_cast<char>(c + 32) : ch) << c;
    EXPECT_EQ(uStrUtils::AsciiUpper(ch), lower ? static_cast<char>(c - 32) : ch) << c;
  }
}

struct CompareRow {
  std::string_view a;
  std::string_view b;
  bool equal;
  bool endsWith;  // a ends with b
};

TEST(StrUtilsTest, IgnoreAsciiCaseCompareTable) {
  const CompareRow rows[] = {
      {"", "", true, true},
      {"dst", "DST", true, true},
      {"DsT", "dSt", true, true},
      {"DST", "DS", false, false},
      {"CI Data Receive Thread", " thread", false, true},
      {"thread", " thread", false, false},     // shorter than the suffix
      {"[", "{", false, false},                // 0x5B and 0x7B differ by 32 but are no letters
      {"\xC5\xBD", "\xC5\xBE", false, false},  // "Ž" and "ž" differ outside ASCII
  };
  for (const CompareRow& row : rows) {
    SCOPED_TRACE(std::string(row.a) + " / " + std::string(row.b));
    EXPECT_EQ(uStrUtils::EqualsIgnoreAsciiCase(row.a, row.b), row.equal);
    EXPECT_EQ(uStrUtils::EqualsIgnoreAsciiCase(row.b, row.a), row.equal);
    EXPECT_EQ(uStrUtils::EndsWithIgnoreAsciiCase(row.a, row.b), row.endsWith);
  }
}

TEST(StrUtilsTest, HexDigitValueTable) {
  for (int c = 0; c < 256; ++c) {
    int expected = -1;
    if (c >= '0' && c <= '9') expected = c - '0';
    if (c >= 'a' && c <= 'f') expected = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') expected = c - 'A' + 10;
    EXPECT_EQ(uStrUtils::HexDigitValue(static_cast<char>(c)), expected) << c;
  }
}

}  // namespace
