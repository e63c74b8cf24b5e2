#include "ci/uVariant.h"

#include <charconv>

#include "ci/uStrUtils.h"

namespace uVariant {

std::string TVariant::ToString() const {
  struct Visitor {
    std::string operator()(TEmpty) const { return {}; }
    std::string operator()(TNull) const { return {}; }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(bool b) const { return b ? "True" : "False"; }
    std::string operator()(std::int32_t i) const { return std::to_string(i); }
    std::string operator()(double d) const {
      // Locale-independent digits, then the user's separator.
      char buf[64];
      const auto end = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 15).ptr;
      std::string text(buf, end);
      for (char& c : text)
        if (c == '.') c = uStrUtils::DecimalSeparator();
      return text;
    }
  };
  return std::visit(Visitor{}, value_);
}

bool TVariant::ToBoolean() const {
  if (const bool* b = std::get_if<bool>(&value_)) return *b;
  if (const std::int32_t* i = std::get_if<std::int32_t>(&value_)) return *i != 0;
  if (const double* d = std::get_if<double>(&value_)) return *d != 0.0;
  if (const std::string* s = std::get_if<std::string>(&value_)) {
    bool result = false;
    if (uStrUtils::TryStrToBool(*s, result)) return result;
    throw EVariantError("Could not convert variant of type (String) into type (Boolean)");
  }
  if (IsNull()) throw EVariantError("Could not convert variant of type (Null) into type (Boolean)");
  throw EVariantError("Could not convert variant of type (Empty) into type (Boolean)");
}

}  // namespace uVariant
