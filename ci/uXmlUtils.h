#pragma once
// Attribute helpers on pugixml elements. A null element behaves as one without attributes.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "ci/uVariant.h"

namespace uXmlUtils {

// The attribute as a 32-bit integer (uStrUtils::TryStrToInt rules, "$1F90" is 8080), or
// defaultValue when the attribute is missing or does not convert.
std::int32_t ReadXmlInteger(const pugi::xml_node& element, std::string_view name,
                            std::int32_t defaultValue);

// Whether the attribute exists; value is set only then.
bool ReadXmlString(const pugi::xml_node& element, std::string& value, std::string_view name);

class EXmlAttributeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kVariantIsNullMessage = "Variant is Null !!!! ***";
inline constexpr const char* kVariantIsEmptyMessage = "Variant is Empty !!!! ***";

// value = the attribute's text, or defaultValue when it is missing. With localize the value
// is turned into text and passed through LocalizeDecimalSeparator first, so a null or empty
// default then becomes "" and passes. A null value raises kVariantIsNullMessage, an empty
// (unassigned) one kVariantIsEmptyMessage.
void ReadXmlAttribute(const pugi::xml_node& element, std::string_view name,
                      const uVariant::TVariant& defaultValue, uVariant::TVariant& value,
                      bool localize);

// With separator ',' every '.' becomes ','; with '.' every ',' becomes '.'; any other
// separator returns the text unchanged. The one-argument form uses the user's locale.
std::string LocalizeDecimalSeparator(std::string_view text, char separator);
std::string LocalizeDecimalSeparator(std::string_view text);

}  // namespace uXmlUtils
