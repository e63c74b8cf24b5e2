#pragma once
// A small reference-counted object for tests that need interface references.

#include <atomic>
#include <cstdint>

#include "ci/uInterfaces.h"

namespace testsupport {

class ITestSender : public uInterfaces::IInterface {
 public:
  static constexpr uInterfaces::TGUID IID{"{5D0C7E0A-2B7B-4F7E-9C43-2A51D1E0B001}"};
  virtual int Tag() const = 0;

 protected:
  ~ITestSender() = default;
};

// Counts live objects so that tests can see when the last reference freed one.
class TTestObject final : public ITestSender {
 public:
  explicit TTestObject(int tag = 0) : tag_(tag) { ++Live(); }
  ~TTestObject() { --Live(); }

  static std::atomic<int>& Live() {
    static std::atomic<int> live{0};
    return live;
  }

  uInterfaces::HRESULT QueryInterface(const uInterfaces::TGUID& iid, void** object) override {
    if (iid == ITestSender::IID || iid == uInterfaces::IInterface::IID) {
      *object = static_cast<ITestSender*>(this);
      AddRef();
      return uInterfaces::S_OK;
    }
    *object = nullptr;
    return uInterfaces::E_NOINTERFACE;
  }
  std::int32_t AddRef() override { return ++refs_; }
  std::int32_t Release() override {
    const std::int32_t n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  int Tag() const override { return tag_; }
  std::int32_t RefCount() const { return refs_; }

 private:
  std::atomic<std::int32_t> refs_{0};
  const int tag_;
};

}  // namespace testsupport
