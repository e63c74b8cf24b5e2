#pragma once
// Reference counting with a construction guard. The count is 1 while the object is being
// built, so a constructor may hand out and drop references to it without destroying it;
// Create ends the guard (back to 0) once every constructor has run, and the creator's first
// reference brings it to 1. The object is destroyed when the count drops to 0 again.

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "ci/uInterfaces.h"

namespace uMyInterfacedObject {

class TMyInterfacedObject : public virtual uInterfaces::IInterface {
 public:
  uInterfaces::HRESULT QueryInterface(const uInterfaces::TGUID& iid, void** object) override;
  std::int32_t AddRef() override;
  std::int32_t Release() override;

  // Extension points without behaviour here: they answer false.
  virtual bool SetValueInteger(const std::string& name, std::int32_t value);

  bool Destroying() const noexcept { return destroying_.load(); }
  std::int32_t RefCount() const noexcept { return refCount_.load(); }

  template <class T, class... A>
  friend uInterfaces::TInterfacePtr<T> Create(A&&... args);

 protected:
  TMyInterfacedObject() = default;
  virtual ~TMyInterfacedObject() = default;

  // Runs after the most derived constructor, still under the construction guard: the place
  // for construction steps that need virtual dispatch. Overrides call their base first.
  virtual void AfterConstruction() {}
  // Runs once the last reference is gone, before any destructor.
  virtual void BeforeDestruction() {}
  virtual void AfterAddRef(std::int32_t /*newCount*/) {}
  // newCount is the count this release leaves. When it is above 0 the hook runs while the
  // releasing reference still holds the object, so RefCount() there is newCount + 1.
  virtual void AfterRelease(std::int32_t /*newCount*/) {}

 private:
  // Drops the guard's count without destroying; the creator holds a reference by then.
  void EndConstructionGuard() noexcept { --refCount_; }

  std::atomic<std::int32_t> refCount_{1};
  std::atomic<bool> destroying_{false};
};

// Answers iid with this object seen as interface I (a counted reference).
template <class I, class C>
uInterfaces::HRESULT AnswerInterface(C* self, void** object) {
  I* p = self;
  p->AddRef();
  *object = p;
  return uInterfaces::S_OK;
}

// Builds a T and returns the first counted reference to it. When a construction step throws
// after the constructors, the guard is still ended, so references handed out meanwhile stay
// valid and the object goes with the last of them.
template <class T, class... A>
uInterfaces::TInterfacePtr<T> Create(A&&... args) {
  T* object = new T(std::forward<A>(args)...);
  TMyInterfacedObject* base = object;
  uInterfaces::TInterfacePtr<T> result(object);  // count 2: guard + result
  try {
    base->AfterConstruction();
  } catch (...) {
    base->EndConstructionGuard();
    throw;
  }
  base->EndConstructionGuard();
  return result;
}

}  // namespace uMyInterfacedObject
