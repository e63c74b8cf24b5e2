#pragma once
// Attribute helpers on pugixml elements, and element handles that keep their document.
// A null element behaves as one without attributes.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "ci/uVariant.h"

namespace uXmlUtils {

// An element together with a share in the document that holds it. Whoever keeps the handle
// keeps the document, so the element cannot go while it is held (removing the element from
// its document is another matter: pugixml frees it then).
class TXmlElement {
 public:
  TXmlElement() = default;
  // element must belong to *document; a null element gives an empty handle. Raises
  // std::invalid_argument for an element of another document or without a document.
  TXmlElement(std::shared_ptr<pugi::xml_document> document, pugi::xml_node element);

  pugi::xml_node Node() const noexcept { return node_; }
  const std::shared_ptr<pugi::xml_document>& Document() const noexcept { return document_; }
  explicit operator bool() const noexcept { return static_cast<bool>(node_); }
  friend bool operator==(const TXmlElement& a, const TXmlElement& b) noexcept {
    return a.node_ == b.node_;
  }

 private:
  std::shared_ptr<pugi::xml_document> document_;
  pugi::xml_node node_;
};

// Sets the attribute's text, adding the attribute when the element has none of that name.
void WriteXmlString(pugi::xml_node element, const char* name, const std::string& value);

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
