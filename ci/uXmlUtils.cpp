#include "ci/uXmlUtils.h"

#include "ci/uStrUtils.h"

namespace uXmlUtils {

namespace {
pugi::xml_attribute FindAttribute(const pugi::xml_node& element, std::string_view name) {
  if (!element) return {};
  return element.attribute(std::string(name).c_str());
}
}  // namespace

TXmlElement::TXmlElement(std::shared_ptr<pugi::xml_document> document, pugi::xml_node element) {
  if (!element) return;
  if (!document || element.root() != *document)
    throw std::invalid_argument("the XML element does not belong to the document given with it");
  document_ = std::move(document);
  node_ = element;
}

void WriteXmlString(pugi::xml_node element, const char* name, const std::string& value) {
  pugi::xml_attribute attribute = element.attribute(name);
  if (!attribute) attribute = element.append_attribute(name);
  attribute.set_value(value.c_str());
}

std::int32_t ReadXmlInteger(const pugi::xml_node& element, std::string_view name,
                            std::int32_t defaultValue) {
  const pugi::xml_attribute attribute = FindAttribute(element, name);
  if (!attribute) return defaultValue;
  std::int32_t value = 0;
  return uStrUtils::TryStrToInt(attribute.value(), value) ? value : defaultValue;
}

bool ReadXmlString(const pugi::xml_node& element, std::string& value, std::string_view name) {
  const pugi::xml_attribute attribute = FindAttribute(element, name);
  if (!attribute) return false;
  value = attribute.value();
  return true;
}

void ReadXmlAttribute(const pugi::xml_node& element, std::string_view name,
                      const uVariant::TVariant& defaultValue, uVariant::TVariant& value,
                      bool localize) {
  const pugi::xml_attribute attribute = FindAttribute(element, name);
  value = attribute ? uVariant::TVariant(std::string(attribute.value())) : defaultValue;
  if (localize) value = uVariant::TVariant(LocalizeDecimalSeparator(value.ToString()));
  if (value.IsNull()) throw EXmlAttributeError(kVariantIsNullMessage);
  if (value.IsEmpty()) throw EXmlAttributeError(kVariantIsEmptyMessage);
}

std::string LocalizeDecimalSeparator(std::string_view text, char separator) {
  std::string result(text);
  if (separator != ',' && separator != '.') return result;
  const char from = separator == ',' ? '.' : ',';
  for (char& c : result)
    if (c == from) c = separator;
  return result;
}

std::string LocalizeDecimalSeparator(std::string_view text) {
  return LocalizeDecimalSeparator(text, uStrUtils::DecimalSeparator());
}

}  // namespace uXmlUtils
