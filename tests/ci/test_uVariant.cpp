#include "ci/uVariant.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "ci/uStrUtils.h"

namespace {

using uVariant::EVariantError;
using uVariant::TVariant;

// Builds a number text with the user's decimal separator, e.g. Dec("1", "5") is "1.5" or "1,5".
std::string Dec(const std::string& whole, const std::string& fraction) {
  return whole + uStrUtils::DecimalSeparator() + fraction;
}

// The separator the user's locale does not use; numbers written with it are not numbers.
char OtherSeparator() {
  return uStrUtils::DecimalSeparator() == '.' ? ',' : '.';
}

// Empty (unassigned), null and empty text are three different values; the XML helpers rely on
// telling them apart.
TEST(VariantTest, EmptyNullAndEmptyTextAreDistinct) {
  const TVariant empty;
  const TVariant null = TVariant::Null();
  const TVariant text("");

  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_FALSE(empty.IsNull());
  EXPECT_FALSE(empty.IsString());

  EXPECT_TRUE(null.IsNull());
  EXPECT_FALSE(null.IsEmpty());
  EXPECT_FALSE(null.IsString());

  EXPECT_TRUE(text.IsString());
  EXPECT_FALSE(text.IsEmpty());
  EXPECT_FALSE(text.IsNull());

  EXPECT_NE(empty, null);
  EXPECT_NE(empty, text);
  EXPECT_NE(null, text);
  EXPECT_EQ(empty, TVariant());
  EXPECT_EQ(null, TVariant(uVariant::TNull{}));
}

struct ToStringCase {
  const char* name;
  TVariant value;
  std::string expected;
};

TEST(VariantTest, ToString) {
  const std::vector<ToStringCase> cases = {
      {"empty", TVariant(), ""},
      {"null", TVariant::Null(), ""},
      {"text", TVariant("a b,c.d"), "a b,c.d"},
      {"empty text", TVariant(""), ""},
      {"true", TVariant(true), "True"},
      {"false", TVariant(false), "False"},
      {"zero", TVariant(0), "0"},
      {"negative int", TVariant(-42), "-42"},
      {"int max", TVariant(INT32_MAX), "2147483647"},
      {"int min", TVariant(INT32_MIN), "-2147483648"},
      {"whole double", TVariant(2.0), "2"},
      {"double fraction", TVariant(1.5), Dec("1", "5")},
      {"negative double", TVariant(-0.25), Dec("-0", "25")},
      // Fifteen significant digits: no binary noise in 0.1, a third is cut.
      {"double 0.1", TVariant(0.1), Dec("0", "1")},
      {"double third", TVariant(1.0 / 3.0), Dec("0", "333333333333333")},
      {"double many digits", TVariant(123456.789), Dec("123456", "789")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.value.ToString(), c.expected);
  }
}

struct ToBooleanCase {
  const char* name;
  TVariant value;
  bool expected;
};

TEST(VariantTest, ToBoolean) {
  const std::vector<ToBooleanCase> cases = {
      {"true", TVariant(true), true},
      {"false", TVariant(false), false},
      {"int zero", TVariant(0), false},
      {"int one", TVariant(1), true},
      {"int negative", TVariant(-1), true},
      {"int min", TVariant(INT32_MIN), true},
      {"double zero", TVariant(0.0), false},
      {"double negative zero", TVariant(-0.0), false},
      {"double fraction", TVariant(0.5), true},
      {"double tiny", TVariant(1e-300), true},
      {"text True", TVariant("True"), true},
      {"text false", TVariant("false"), false},
      {"text TRUE", TVariant("TRUE"), true},
      {"text fAlSe", TVariant("fAlSe"), false},
      {"text 0", TVariant("0"), false},
      {"text 1", TVariant("1"), true},
      {"text -1", TVariant("-1"), true},
      {"text 0 fraction", TVariant(Dec("0", "0")), false},
      {"text fraction", TVariant(Dec("0", "5")), true},
      {"text exponent", TVariant("1e-3"), true},
      {"text spaced number", TVariant(" 2 "), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.value.ToBoolean(), c.expected);
  }
}

struct ToBooleanErrorCase {
  const char* name;
  TVariant value;
};

TEST(VariantTest, ToBooleanWithoutBooleanMeaningThrows) {
  const std::vector<ToBooleanErrorCase> cases = {
      {"empty", TVariant()},
      {"null", TVariant::Null()},
      {"empty text", TVariant("")},
      {"word", TVariant("yes")},
      {"true with prefix", TVariant("Truex")},
      {"true with space", TVariant(" True")},
      {"abbreviation", TVariant("T")},
      {"other separator", TVariant(std::string("1") + OtherSeparator() + "5")},
      {"hex", TVariant("$1")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(c.value.ToBoolean(), EVariantError);
  }
}

}  // namespace
