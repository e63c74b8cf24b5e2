#include "ci/uXmlUtils.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "ci/uStrUtils.h"
#include "ci/uVariant.h"

using namespace std::string_view_literals;

namespace {

using uVariant::TVariant;
using uXmlUtils::EXmlAttributeError;

// A document with one element <e/>; Element() gives it with the attribute "A" set to the
// given text (set through the DOM, so the text arrives exactly as written), or without "A".
class XmlUtilsTest : public ::testing::Test {
 protected:
  pugi::xml_node Element(const std::optional<std::string>& attribute) {
    document_.reset();
    pugi::xml_node element = document_.append_child("e");
    element.append_attribute("Other").set_value("99");
    if (attribute) element.append_attribute("A").set_value(attribute->c_str());
    return element;
  }

 private:
  pugi::xml_document document_;
};

constexpr std::int32_t kDefault = -7;  // distinct from 0, which a failed conversion yields

struct IntegerCase {
  const char* name;
  std::optional<std::string> attribute;  // nullopt: no attribute "A"
  std::int32_t expected;
};

TEST_F(XmlUtilsTest, ReadXmlInteger) {
  const std::vector<IntegerCase> cases = {
      {"decimal", "8080", 8080},
      {"dollar hex", "$1F90", 8080},
      {"0x hex", "0x1f90", 8080},
      {"hex pattern is signed", "$FFFFFFFF", -1},
      {"negative", "-2147483648", INT32_MIN},
      {"leading spaces", " 8080", 8080},
      {"zero", "0", 0},
      {"trailing letters", "80a", kDefault},
      {"trailing space", "8080 ", kDefault},
      {"empty", "", kDefault},
      {"out of range", "2147483648", kDefault},
      {"too many hex digits", "$100000000", kDefault},
      {"fraction", "80.5", kDefault},
      {"missing", std::nullopt, kDefault},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(uXmlUtils::ReadXmlInteger(Element(c.attribute), "A", kDefault), c.expected);
  }
}

TEST_F(XmlUtilsTest, ReadXmlIntegerOnNullElementGivesDefault) {
  EXPECT_EQ(uXmlUtils::ReadXmlInteger(pugi::xml_node{}, "A", kDefault), kDefault);
}

// The name is a view; only its own characters name the attribute.
TEST_F(XmlUtilsTest, NameViewIsNotReadPastItsEnd) {
  const pugi::xml_node element = Element("5");
  const std::string_view name = "AB"sv.substr(0, 1);
  EXPECT_EQ(uXmlUtils::ReadXmlInteger(element, name, kDefault), 5);
  std::string text;
  EXPECT_TRUE(uXmlUtils::ReadXmlString(element, text, name));
  EXPECT_EQ(text, "5");
}

struct StringCase {
  const char* name;
  std::optional<std::string> attribute;
  bool found;
  std::string expected;  // value afterwards; "keep" is what it held before
};

TEST_F(XmlUtilsTest, ReadXmlString) {
  const std::vector<StringCase> cases = {
      {"present", "a b", true, "a b"},
      {"present and empty", "", true, ""},
      {"missing leaves value", std::nullopt, false, "keep"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string value = "keep";
    EXPECT_EQ(uXmlUtils::ReadXmlString(Element(c.attribute), value, "A"), c.found);
    EXPECT_EQ(value, c.expected);
  }
}

TEST_F(XmlUtilsTest, ReadXmlStringOnNullElementLeavesValue) {
  std::string value = "keep";
  EXPECT_FALSE(uXmlUtils::ReadXmlString(pugi::xml_node{}, value, "A"));
  EXPECT_EQ(value, "keep");
}

// What LocalizeDecimalSeparator makes of a text for the user's separator.
std::string Localized(std::string text) {
  const char separator = uStrUtils::DecimalSeparator();
  if (separator != ',' && separator != '.') return text;
  for (char& c : text)
    if (c == ',' || c == '.') c = separator;
  return text;
}

struct AttributeCase {
  const char* name;
  std::optional<std::string> attribute;
  TVariant defaultValue;
  bool localize;
  TVariant expected;  // when no error is expected
  const char* error;  // expected EXmlAttributeError message, or nullptr
};

TEST_F(XmlUtilsTest, ReadXmlAttribute) {
  const TVariant null = TVariant::Null();
  const TVariant empty;
  const std::vector<AttributeCase> cases = {
      {"present", "abc", TVariant(true), false, TVariant("abc"), nullptr},
      {"present and empty", "", TVariant(true), false, TVariant(""), nullptr},
      {"present overrides null default", "x", null, false, TVariant("x"), nullptr},
      {"present keeps separator", "1.5", TVariant(), false, TVariant("1.5"), nullptr},
      {"missing bool default", std::nullopt, TVariant(true), false, TVariant(true), nullptr},
      {"missing null default", std::nullopt, null, false, {}, uXmlUtils::kVariantIsNullMessage},
      {"missing empty default", std::nullopt, empty, false, {}, uXmlUtils::kVariantIsEmptyMessage},
      {"localize null default", std::nullopt, null, true, TVariant(""), nullptr},
      {"localize empty default", std::nullopt, empty, true, TVariant(""), nullptr},
      {"localize bool default", std::nullopt, TVariant(false), true, TVariant("False"), nullptr},
      {"localize double default", std::nullopt, TVariant(1.5), true, TVariant(Localized("1.5")),
       nullptr},
      {"localize comma", "1,5", TVariant(), true, TVariant(Localized("1,5")), nullptr},
      {"localize point", "1.5", TVariant(), true, TVariant(Localized("1.5")), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TVariant value("before");
    if (c.error == nullptr) {
      EXPECT_NO_THROW(uXmlUtils::ReadXmlAttribute(Element(c.attribute), "A", c.defaultValue, value,
                                                  c.localize));
      EXPECT_EQ(value, c.expected);
      EXPECT_EQ(value.ToString(), c.expected.ToString());
    } else {
      try {
        uXmlUtils::ReadXmlAttribute(Element(c.attribute), "A", c.defaultValue, value, c.localize);
        ADD_FAILURE() << "no EXmlAttributeError";
      } catch (const EXmlAttributeError& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
    }
  }
}

TEST_F(XmlUtilsTest, ReadXmlAttributeOnNullElementUsesDefault) {
  TVariant value;
  uXmlUtils::ReadXmlAttribute(pugi::xml_node{}, "A", TVariant(3), value, false);
  EXPECT_EQ(value, TVariant(3));
  EXPECT_THROW(uXmlUtils::ReadXmlAttribute(pugi::xml_node{}, "A", TVariant::Null(), value, false),
               EXmlAttributeError);
}

struct LocalizeCase {
  const char* name;
  std::string_view text;
  char separator;
  std::string_view expected;
};

TEST(XmlUtilsLocalizeTest, LocalizeDecimalSeparator) {
  const LocalizeCase cases[] = {
      {"point to comma", "1.5", ',', "1,5"},
      {"comma to point", "1,5", '.', "1.5"},
      {"mixed to comma", "1.5,2", ',', "1,5,2"},
      {"mixed to point", "1.5,2", '.', "1.5.2"},
      {"every occurrence", "a..b.", ',', "a,,b,"},
      {"already localized", "1,5", ',', "1,5"},
      {"other separator", "1.5,2", ';', "1.5,2"},
      {"nul separator", "1.5,2", '\0', "1.5,2"},
      {"empty with comma", "", ',', ""},
      {"empty with point", "", '.', ""},
      {"embedded nul kept", "1.5\0.2"sv, ',', "1,5\0,2"sv},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(uXmlUtils::LocalizeDecimalSeparator(c.text, c.separator), c.expected);
  }
}

TEST(XmlUtilsLocalizeTest, OneArgumentFormUsesUserSeparator) {
  EXPECT_EQ(uXmlUtils::LocalizeDecimalSeparator("1.5,2"), Localized("1.5,2"));
  EXPECT_EQ(uXmlUtils::LocalizeDecimalSeparator("1.5,2"),
            uXmlUtils::LocalizeDecimalSeparator("1.5,2", uStrUtils::DecimalSeparator()));
}

}  // namespace

TEST(XmlElement, AHandleNeedsTheDocumentItsElementBelongsTo) {
  const auto doc = std::make_shared<pugi::xml_document>();
  const pugi::xml_node inner = doc->append_child("root").append_child("inner");
  const auto other = std::make_shared<pugi::xml_document>();
  other->append_child("other");

  const uXmlUtils::TXmlElement handle(doc, inner);
  EXPECT_EQ(handle.Node(), inner);
  EXPECT_EQ(handle.Document(), doc);
  EXPECT_THROW(uXmlUtils::TXmlElement(other, inner), std::invalid_argument);
  EXPECT_THROW(uXmlUtils::TXmlElement(nullptr, inner), std::invalid_argument);
  const uXmlUtils::TXmlElement empty(doc, pugi::xml_node{});
  EXPECT_FALSE(empty);
  EXPECT_EQ(empty.Document(), nullptr);  // an empty handle keeps no document
}
