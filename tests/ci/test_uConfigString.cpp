#include "ci/uConfigString.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

using namespace std::string_view_literals;

namespace {

constexpr std::nullopt_t kIntNotChecked = std::nullopt;
// Expected integer lookup: found with this value, or fails.
struct IntResult {
  bool ok;
  int32_t value;
};
constexpr IntResult Int(int32_t v) {
  return {true, v};
}
constexpr IntResult kIntFails{false, 0};

struct LookupCase {
  std::string_view config;
  std::string_view key;
  bool found;              // GetConfigString result
  std::string_view value;  // GetConfigString value ("" when not found)
  std::optional<IntResult> integer;
};

TEST(ConfigStringTest, LookupTable) {
  const LookupCase cases[] = {
      // A typical device string.
      {"provider=HID;vid=$2047;pid=$0301;serial_number=ABC", "provider", true, "HID",
       kIntNotChecked},
      {"provider=HID;vid=$2047;pid=$0301;serial_number=ABC", "vid", true, "$2047", Int(8263)},
      {"provider=HID;vid=$2047;pid=$0301;serial_number=ABC", "pid", true, "$0301", Int(769)},
      {"provider=HID;vid=$2047;pid=$0301;serial_number=ABC", "serial_number", true, "ABC",
       kIntFails},
      // Whitespace around keys belongs to no one; around values it belongs to the value.
      {"vid = 5", "vid", true, " 5", Int(5)},
      {"vid=5 ;pid=1", "vid", true, "5 ", kIntFails},
      {"vid=5 ;pid=1", "pid", true, "1", Int(1)},
      {" \t\r\n a=1 ;\n b=2", "b", true, "2", Int(2)},
      // The separator character is not checked.
      {"vid:5", "vid", true, "5", Int(5)},
      {"a=b=c", "a", true, "b=c", kIntNotChecked},
      // Escapes in plain values.
      {"a=x\\;y;b=2", "a", true, "x;y", kIntNotChecked},
      {"a=x\\;y;b=2", "b", true, "2", Int(2)},
      {"a=\\\\;b=2", "a", true, "\\", kIntNotChecked},
      {"a=\\\\;b=2", "b", true, "2", Int(2)},
      {"a=\\(;b=2", "a", true, "(", kIntNotChecked},
      {"a=\\(;b=2", "b", true, "2", Int(2)},
      {"a=x\\;b=2", "a", true, "x;b=2", kIntNotChecked},
      {"a=x\\;b=2", "b", false, "", kIntFails},
      // A trailing lone backslash is kept.
      {"a=x\\", "a", true, "x\\", kIntNotChecked},
      {"b=1;a=x\\", "a", true, "x\\", kIntNotChecked},
      // Parenthesised values are taken literally.
      {"a=(x;y);b=2", "a", true, "x;y", kIntNotChecked},
      {"a=(x;y);b=2", "b", true, "2", Int(2)},
      {"a=(x\\)y)", "a", true, "x\\)y", kIntNotChecked},
      {"a=(x\\;y)", "a", true, "x\\;y", kIntNotChecked},
      {"a=((x;y));b=2", "a", true, "(x;y)", kIntNotChecked},
      {"a=();b=2", "a", true, "", kIntFails},
      // Unbalanced or badly ended parentheses.
      {"a=(x;b=2", "a", false, "", kIntFails},
      {"a=(x;b=2", "b", false, "", kIntFails},
      {"a=(x\\)", "a", false, "", kIntFails},
      {"a=x)y", "a", false, "", kIntFails},
      {"a=(x)y", "a", false, "", kIntFails},
      {"a=x);b=2", "a", false, "", kIntFails},
      {"a=x);b=2", "b", true, "2", Int(2)},
      // Empty entries stop the lookup.
      {";vid=2", "vid", false, "", kIntFails},
      {"a=1;;vid=2", "vid", false, "", kIntFails},
      // Keys match whole, case-sensitively, first occurrence first.
      {"vidx=1;vid=2", "vid", true, "2", Int(2)},
      {"vid=1", "vi", false, "", kIntFails},
      {"vid=1", "vidx", false, "", kIntFails},
      {"VID=1", "vid", false, "", kIntFails},
      {"vid=1;vid=2", "vid", true, "1", Int(1)},
      {";vid=2", "", false, "", kIntFails},
      // A key at the very end has no value; an empty value right after the separator is found.
      {"a=1;k=", "k", false, "", kIntFails},
      {"a=1;k", "k", false, "", kIntFails},
      {"k", "k", false, "", kIntFails},
      {"k=;a=1", "k", true, "", kIntFails},
      {"k=;a=1", "a", true, "1", Int(1)},
      {"a=1;k=", "a", true, "1", Int(1)},
      // Nothing at all.
      {"", "vid", false, "", kIntFails},
      {"", "a", false, "", kIntFails},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("config: \"") + std::string(c.config) +
                 "\", key: " + std::string(c.key));
    std::string value = "stale";
    EXPECT_EQ(uConfigString::GetConfigString(c.config, c.key, value), c.found);
    EXPECT_EQ(value, c.value);
    if (c.integer) {
      int32_t integer = -99;
      EXPECT_EQ(uConfigString::GetConfigInteger(c.config, c.key, integer), c.integer->ok);
      if (c.integer->ok) {
        EXPECT_EQ(integer, c.integer->value);
      }
    }
  }
}

// What the typed lookups leave in value: untouched when there is nothing to convert, the
// conversion's failure value when the text does not convert.
struct TypedCase {
  std::string_view config;
  bool integerOk;
  int32_t integer;  // from a start of 77
  bool booleanOk;
  bool boolean;  // from a start of true
};

TEST(ConfigStringTest, TypedLookupResultValues) {
  const TypedCase cases[] = {
      // Nothing to convert: value untouched.
      {"b=1", false, 77, false, true},
      {"a=", false, 77, false, true},
      {"a=(1", false, 77, false, true},
      {"a=(1)x", false, 77, false, true},
      // Found, but the text does not convert.
      {"a=;b=1", false, 0, false, false},
      {"a=maybe", false, 0, false, false},
      {"a=False", false, 0, true, false},
      // Converts.
      {"a=12", true, 12, true, true},
      {"a=0", true, 0, true, false},
      {"a=(1);b=2", true, 1, true, true},
      {"a=\\31", true, 31, true, true},
      {"a=\\x1F", true, 31, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("config: \"") + std::string(c.config) + "\"");
    int32_t integer = 77;
    EXPECT_EQ(uConfigString::GetConfigInteger(c.config, "a", integer), c.integerOk);
    EXPECT_EQ(integer, c.integer);
    bool boolean = true;
    EXPECT_EQ(uConfigString::GetConfigBoolean(c.config, "a", boolean), c.booleanOk);
    EXPECT_EQ(boolean, c.boolean);
  }
}

TEST(ConfigStringTest, BooleanLookup) {
  bool value = false;
  EXPECT_TRUE(uConfigString::GetConfigBoolean("on=True;off=0", "on", value));
  EXPECT_TRUE(value);
  EXPECT_TRUE(uConfigString::GetConfigBoolean("on=True;off=0", "off", value));
  EXPECT_FALSE(value);
  value = true;
  EXPECT_FALSE(uConfigString::GetConfigBoolean("flag=yes", "flag", value));
  EXPECT_FALSE(value);
}

TEST(ConfigStringTest, AnyByteValuePassesThroughAPlainValue) {
  const std::string_view config = "a=\0;b=x\0\x80\xff y\x7f;c=3"sv;
  std::string value;
  EXPECT_TRUE(uConfigString::GetConfigString(config, "a", value));
  EXPECT_EQ(value, "\0"sv);
  EXPECT_TRUE(uConfigString::GetConfigString(config, "b", value));
  EXPECT_EQ(value, "x\0\x80\xff y\x7f"sv);
  int32_t integer = 0;
  EXPECT_TRUE(uConfigString::GetConfigInteger(config, "c", integer));
  EXPECT_EQ(integer, 3);
}

// A lookup in a view must not see the characters that follow it in memory.
TEST(ConfigStringTest, ReadsOnlyTheGivenView) {
  const std::string buffer = "a=x\\;b=123";
  std::string value;
  EXPECT_TRUE(uConfigString::GetConfigString(std::string_view(buffer).substr(0, 4), "a", value));
  EXPECT_EQ(value, "x\\");
  int32_t integer = 0;
  const std::string_view shorter = std::string_view(buffer).substr(5, 4);  // "b=12"
  EXPECT_TRUE(uConfigString::GetConfigInteger(shorter, "b", integer));
  EXPECT_EQ(integer, 12);
}

// A value written with EscapeConfigValue comes back as it was, and the entries after it
// stay whole, whatever characters of the syntax it holds.
TEST(ConfigStringTest, EscapedValueComesBackUnchanged) {
  const std::string_view values[] = {
      "ABC", "A;B", "A(B", "A)B",   "(AB)",          "A\\B", "AB\\",
      "\\",  ";",   "((;", " lead", "x\0\x80\xff"sv, "a=b",  "\\;\\(",
  };
  for (const std::string_view value : values) {
    const std::string config =
        "provider=HID;serial_number=" + uConfigString::EscapeConfigValue(value) + ";pid=$0301";
    std::string read;
    EXPECT_TRUE(uConfigString::GetConfigString(config, "serial_number", read)) << config;
    EXPECT_EQ(read, value) << config;
    int32_t pid = 0;
    EXPECT_TRUE(uConfigString::GetConfigInteger(config, "pid", pid)) << config;
    EXPECT_EQ(pid, 0x0301) << config;
    // At the end of the string too, where a trailing backslash would be kept as it is.
    const std::string last = "a=1;k=" + uConfigString::EscapeConfigValue(value);
    EXPECT_TRUE(uConfigString::GetConfigString(last, "k", read)) << last;
    EXPECT_EQ(read, value) << last;
  }
  EXPECT_EQ(uConfigString::EscapeConfigValue("a;b(c)d\\e"), "a\\;b\\(c\\)d\\\\e");
}

}  // namespace
