#pragma once
// Bound methods: an object plus one of its methods, comparable by both parts.
// Eventers remove handlers and slot lists find them by this equality, so a handler is
// identified by (object, method) rather than by a callable's identity.

#include <cstring>
#include <type_traits>
#include <utility>

namespace uMethod {

// Type-erased bound method. Code holds the member-function pointer's bytes (two words in the
// Itanium C++ ABI), Invoker the typed trampoline that knows how to call it.
struct TBoundMethod {
  static constexpr std::size_t kCodeSize = 2 * sizeof(void*);

  void* Data = nullptr;
  void (*Invoker)() = nullptr;  // a typed trampoline, cast back by TMethod
  alignas(void*) unsigned char Code[kCodeSize] = {};

  // Assigned when a method is set, whatever the object part.
  bool IsAssigned() const noexcept { return Invoker != nullptr; }
  // The dispatcher runs a handler only when both parts are set.
  bool IsComplete() const noexcept { return Invoker != nullptr && Data != nullptr; }

  friend bool operator==(const TBoundMethod& a, const TBoundMethod& b) noexcept {
    return a.Data == b.Data && a.Invoker == b.Invoker &&
           std::memcmp(a.Code, b.Code, kCodeSize) == 0;
  }
};

template <class Sig>
class TMethod;

// Typed bound method: TMethod<void(int)> m(&obj, &TObj::OnValue); m(5);
template <class R, class... A>
class TMethod<R(A...)> {
 public:
  TMethod() = default;

  template <class C, class M>
  requires std::is_base_of_v<M, C> || std::is_same_v<M, C> TMethod(C* object, R (M::*method)(A...))
  noexcept {
    static_assert(sizeof(method) <= TBoundMethod::kCodeSize);
    bound_.Data = static_cast<M*>(object);
    bound_.Invoker = reinterpret_cast<void (*)()>(&Call<M>);
    std::memcpy(bound_.Code, &method, sizeof(method));
  }

  // A plain function as a method without object: assigned, but not complete.
  explicit TMethod(R (*function)(A...)) noexcept {
    bound_.Invoker = reinterpret_cast<void (*)()>(&CallFunction);
    std::memcpy(bound_.Code, &function, sizeof(function));
  }

  // Rebuilds a typed method from its erased form; the caller guarantees the signature.
  static TMethod FromBound(const TBoundMethod& bound) noexcept {
    TMethod m;
    m.bound_ = bound;
    return m;
  }

  const TBoundMethod& Bound() const noexcept { return bound_; }
  bool IsAssigned() const noexcept { return bound_.IsAssigned(); }
  bool IsComplete() const noexcept { return bound_.IsComplete(); }

  R operator()(A... args) const {
    auto call = reinterpret_cast<R (*)(const TBoundMethod&, A...)>(bound_.Invoker);
    return call(bound_, std::forward<A>(args)...);
  }

  friend bool operator==(const TMethod& a, const TMethod& b) noexcept {
    return a.bound_ == b.bound_;
  }

 private:
  template <class M>
  static R Call(const TBoundMethod& bound, A... args) {
    R (M::*method)(A...);
    std::memcpy(&method, bound.Code, sizeof(method));
    return (static_cast<M*>(bound.Data)->*method)(std::forward<A>(args)...);
  }

  static R CallFunction(const TBoundMethod& bound, A... args) {
    R (*function)(A...);
    std::memcpy(&function, bound.Code, sizeof(function));
    return function(std::forward<A>(args)...);
  }

  TBoundMethod bound_;
};

}  // namespace uMethod
