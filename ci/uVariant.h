#pragma once
// A small variant for attribute values: distinct empty (unassigned) and null states, text,
// booleans, integers and floating-point numbers, with the conversions the XML helpers need.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>

namespace uVariant {

class EVariantError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TEmpty {
  friend bool operator==(TEmpty, TEmpty) { return true; }
};
struct TNull {
  friend bool operator==(TNull, TNull) { return true; }
};

class TVariant {
 public:
  TVariant() = default;  // empty
  TVariant(TNull) : value_(TNull{}) {}
  TVariant(std::string text) : value_(std::move(text)) {}
  TVariant(const char* text) : value_(std::string(text)) {}
  TVariant(bool b) : value_(b) {}
  TVariant(std::int32_t i) : value_(i) {}
  TVariant(double d) : value_(d) {}

  static TVariant Null() { return TVariant(TNull{}); }

  bool IsEmpty() const noexcept { return std::holds_alternative<TEmpty>(value_); }
  bool IsNull() const noexcept { return std::holds_alternative<TNull>(value_); }
  bool IsString() const noexcept { return std::holds_alternative<std::string>(value_); }

  // Text form: "" for empty and null, "True"/"False", decimal integers, numbers with the
  // user's decimal separator.
  std::string ToString() const;
  // Booleans as they are; numbers non-zero; text as a number or "True"/"False" in any case.
  // Raises EVariantError when the value has no boolean meaning.
  bool ToBoolean() const;

  friend bool operator==(const TVariant&, const TVariant&) = default;

 private:
  std::variant<TEmpty, TNull, std::string, bool, std::int32_t, double> value_;
};

}  // namespace uVariant
