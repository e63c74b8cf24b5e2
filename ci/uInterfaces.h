#pragma once
// COM-style interfaces: GUIDs, the reference-counted root interface, a counted smart pointer
// and Supports. Objects are freed when their last interface reference is released.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "ci/uStrUtils.h"

namespace uInterfaces {

using HRESULT = std::int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);

// A GUID; its registry form is "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (38 characters).
struct TGUID {
  std::uint32_t D1 = 0;
  std::uint16_t D2 = 0;
  std::uint16_t D3 = 0;
  std::uint8_t D4[8] = {};

  constexpr TGUID() = default;
  // Compile-time GUID constants: an invalid literal does not compile.
  consteval explicit TGUID(const char* registryForm) : TGUID(*Parse(registryForm)) {}

  // Parses the registry form (hexadecimal digits of either case); nothing else is accepted.
  static constexpr std::optional<TGUID> Parse(std::string_view text) noexcept;
  // Upper-case registry form.
  std::string ToString() const;
  // A fresh random (version 4) GUID.
  static TGUID NewGuid();

  friend constexpr bool operator==(const TGUID&, const TGUID&) = default;
};

constexpr std::optional<TGUID> TGUID::Parse(std::string_view text) noexcept {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
  std::uint8_t bytes[16] = {};
  std::size_t pos = 1;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      if (text[pos] != '-') return std::nullopt;
      ++pos;
    }
    const int hi = uStrUtils::HexDigitValue(text[pos]);
    const int lo = uStrUtils::HexDigitValue(text[pos + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    pos += 2;
  }
  TGUID g;
  g.D1 = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | bytes[3];
  g.D2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  g.D3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) g.D4[i] = bytes[8 + i];
  return g;
}

// The root of every interface. Each interface declares `static constexpr TGUID IID` and
// derives from IInterface virtually, so an object has one count and one identity however
// many interfaces it implements.
class IInterface {
 public:
  static constexpr TGUID IID{"{00000000-0000-0000-C000-000000000046}"};

  // Answers S_OK and a counted reference in *object for a supported interface,
  // E_NOINTERFACE (and nullptr) otherwise.
  virtual HRESULT QueryInterface(const TGUID& iid, void** object) = 0;
  virtual std::int32_t AddRef() = 0;
  virtual std::int32_t Release() = 0;

 protected:
  ~IInterface() = default;
};

// Counted interface reference: adds a reference on copy, releases it on destruction.
template <class I>
class TInterfacePtr {
 public:
  TInterfacePtr() noexcept = default;
  TInterfacePtr(std::nullptr_t) noexcept {}
  // Takes a new counted reference to p.
  TInterfacePtr(I* p) noexcept : p_(p) {
    if (p_) p_->AddRef();
  }
  TInterfacePtr(const TInterfacePtr& other) noexcept : TInterfacePtr(other.p_) {}
  TInterfacePtr(TInterfacePtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class J>
  requires std::is_convertible_v<J*, I*> TInterfacePtr(const TInterfacePtr<J>& other)
  noexcept : TInterfacePtr(other.Get()) {}
  ~TInterfacePtr() { Reset(); }

  TInterfacePtr& operator=(TInterfacePtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  // Adopts a reference that is already counted (the result of QueryInterface).
  static TInterfacePtr Adopt(I* p) noexcept {
    TInterfacePtr r;
    r.p_ = p;
    return r;
  }

  void Reset() noexcept {
    if (I* p = std::exchange(p_, nullptr)) p->Release();
  }
  I* Get() const noexcept { return p_; }
  I* operator->() const noexcept { return p_; }
  I& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  friend bool operator==(const TInterfacePtr& a, const TInterfacePtr& b) noexcept {
    return a.p_ == b.p_;
  }
  friend bool operator==(const TInterfacePtr& a, std::nullptr_t) noexcept { return !a.p_; }

 private:
  I* p_ = nullptr;
};

// True when object supports iid.
bool Supports(IInterface* object, const TGUID& iid);

// Queries object for I; true and a counted reference in out when supported.
template <class I, class J>
bool Supports(J* object, TInterfacePtr<I>& out) {
  out.Reset();
  if (!object) return false;
  void* p = nullptr;
  if (object->QueryInterface(I::IID, &p) != S_OK || !p) return false;
  out = TInterfacePtr<I>::Adopt(static_cast<I*>(p));
  return true;
}

template <class I, class J>
bool Supports(const TInterfacePtr<J>& object, TInterfacePtr<I>& out) {
  return Supports(object.Get(), out);
}

}  // namespace uInterfaces
