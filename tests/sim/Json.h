#pragma once
// A strict JSON reader for checking the unit's answers: anything that is not well-formed
// JSON in UTF-8 (raw control characters in strings included) reads as nothing.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace testjson {

struct TValue;
using TArray = std::vector<TValue>;
using TObject = std::map<std::string, TValue>;

struct TValue {
  std::variant<std::nullptr_t, bool, double, std::string, std::shared_ptr<TArray>,
               std::shared_ptr<TObject>>
      v;

  bool IsString() const { return std::holds_alternative<std::string>(v); }
  bool IsNumber() const { return std::holds_alternative<double>(v); }
  bool IsBool() const { return std::holds_alternative<bool>(v); }
  bool IsArray() const { return std::holds_alternative<std::shared_ptr<TArray>>(v); }
  bool IsObject() const { return std::holds_alternative<std::shared_ptr<TObject>>(v); }
  const std::string& Str() const { return std::get<std::string>(v); }
  double Num() const { return std::get<double>(v); }
  bool Bool() const { return std::get<bool>(v); }
  const TArray& Arr() const { return *std::get<std::shared_ptr<TArray>>(v); }
  const TObject& Obj() const { return *std::get<std::shared_ptr<TObject>>(v); }
  bool Has(const std::string& key) const { return IsObject() && Obj().count(key) != 0; }
  // The member key; throws std::out_of_range when there is none.
  const TValue& operator[](const std::string& key) const { return Obj().at(key); }
};

class TParser {
 public:
  explicit TParser(std::string_view text) : s_(text) {}

  std::optional<TValue> Document() {
    auto value = Value();
    Space();
    if (!value || pos_ != s_.size()) return std::nullopt;
    return value;
  }

 private:
  void Space() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t'))
      ++pos_;
  }
  bool Eat(char c) {
    Space();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  std::optional<TValue> Value() {
    Space();
    if (pos_ >= s_.size()) return std::nullopt;
    const char c = s_[pos_];
    if (c == '{') return Object();
    if (c == '[') return Array();
    if (c == '"') {
      auto text = String();
      if (!text) return std::nullopt;
      return TValue{*text};
    }
    if (Word("true")) return TValue{true};
    if (Word("false")) return TValue{false};
    if (Word("null")) return TValue{nullptr};
    return Number();
  }

  std::optional<TValue> Number() {
    const std::size_t start = pos_;
    if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
    const std::size_t digits = pos_;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    if (pos_ == digits || (s_[digits] == '0' && pos_ - digits > 1)) return std::nullopt;
    if (pos_ < s_.size() && s_[pos_] == '.') {
      const std::size_t fraction = ++pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
      if (pos_ == fraction) return std::nullopt;
    }
    return TValue{std::stod(std::string(s_.substr(start, pos_ - start)))};
  }

  std::optional<TValue> Array() {
    ++pos_;
    auto array = std::make_shared<TArray>();
    if (Eat(']')) return TValue{array};
    do {
      auto item = Value();
      if (!item) return std::nullopt;
      array->push_back(std::move(*item));
    } while (Eat(','));
    if (!Eat(']')) return std::nullopt;
    return TValue{array};
  }

  std::optional<TValue> Object() {
    ++pos_;
    auto object = std::make_shared<TObject>();
    if (Eat('}')) return TValue{object};
    do {
      Space();
      if (pos_ >= s_.size() || s_[pos_] != '"') return std::nullopt;
      auto key = String();
      if (!key || !Eat(':')) return std::nullopt;
      auto item = Value();
      if (!item || object->count(*key)) return std::nullopt;  // no duplicate members
      object->emplace(std::move(*key), std::move(*item));
    } while (Eat(','));
    if (!Eat('}')) return std::nullopt;
    return TValue{object};
  }

  static void PutUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // Length of the UTF-8 sequence at pos_, 0 when it is malformed.
  std::size_t Utf8At() const {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s_[pos_ + i]); };
    const unsigned char lead = b(0);
    std::size_t n = lead >= 0xF0 && lead <= 0xF4   ? 4
                    : lead >= 0xE0                 ? 3
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                                                   : 0;
    if (lead >= 0xF5) n = 0;
    if (n == 0 || pos_ + n > s_.size()) return 0;
    for (std::size_t i = 1; i < n; ++i)
      if ((b(i) & 0xC0) != 0x80) return 0;
    if ((lead == 0xE0 && b(1) < 0xA0) || (lead == 0xED && b(1) > 0x9F) ||
        (lead == 0xF0 && b(1) < 0x90) || (lead == 0xF4 && b(1) > 0x8F))
      return 0;
    return n;
  }

  std::optional<std::string> String() {
    ++pos_;
    std::string out;
    while (pos_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c < 0x20) return std::nullopt;
      if (c >= 0x80) {
        const std::size_t n = Utf8At();
        if (n == 0) return std::nullopt;
        out.append(s_.substr(pos_, n));
        pos_ += n;
        continue;
      }
      ++pos_;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (pos_ >= s_.size()) return std::nullopt;
      const char e = s_[pos_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          if (pos_ + 4 > s_.size()) return std::nullopt;
          std::uint32_t cp = 0;
          for (int i = 0; i < 4; ++i) {
            const char h = s_[pos_++];
            cp <<= 4;
            if (h >= '0' && h <= '9')
              cp |= static_cast<std::uint32_t>(h - '0');
            else if (h >= 'a' && h <= 'f')
              cp |= static_cast<std::uint32_t>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
              cp |= static_cast<std::uint32_t>(h - 'A' + 10);
            else
              return std::nullopt;
          }
          if (cp >= 0xD800 && cp <= 0xDFFF) return std::nullopt;  // the unit sends no pairs
          PutUtf8(out, cp);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

inline std::optional<TValue> Parse(std::string_view text) {
  return TParser(text).Document();
}

}  // namespace testjson
