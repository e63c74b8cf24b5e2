#include "ci/uMyInterfacedObject.h"

namespace uMyInterfacedObject {

uInterfaces::HRESULT TMyInterfacedObject::QueryInterface(const uInterfaces::TGUID& iid,
                                                         void** object) {
  if (iid == uInterfaces::IInterface::IID)
    return AnswerInterface<uInterfaces::IInterface>(this, object);
  *object = nullptr;
  return uInterfaces::E_NOINTERFACE;
}

std::int32_t TMyInterfacedObject::AddRef() {
  const std::int32_t n = ++refCount_;
  AfterAddRef(n);
  return n;
}

std::int32_t TMyInterfacedObject::Release() {
  // A release that leaves other references reports before the count drops: once it has
  // dropped, another thread may free the object at any moment.
  const std::int32_t remaining = refCount_.load() - 1;
  if (remaining > 0) AfterRelease(remaining);
  const std::int32_t n = --refCount_;
  if (n == 0 && !destroying_.exchange(true)) {
    AfterRelease(0);
    BeforeDestruction();
    delete this;
    return 0;
  }
  return n;
}

bool TMyInterfacedObject::SetValueInteger(const std::string& /*name*/, std::int32_t /*value*/) {
  return false;
}

}  // namespace uMyInterfacedObject
