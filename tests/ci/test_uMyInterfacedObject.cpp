#include "ci/uMyInterfacedObject.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using uInterfaces::IInterface;
using uInterfaces::TGUID;
using uInterfaces::TInterfacePtr;
using uMyInterfacedObject::Create;
using uMyInterfacedObject::TMyInterfacedObject;

namespace {

// What a probe saw: its hook calls, in order, and how often it was destroyed.
struct TProbeLog {
  std::vector<std::string> events;
  int destructors = 0;
  int countWhileBuilding = -1;

  int Occurrences(const std::string& event) const {
    return static_cast<int>(std::count(events.begin(), events.end(), event));
  }
};

struct TProbeOptions {
  bool refInConstructor = false;                // takes and drops a reference to itself while built
  TInterfacePtr<IInterface>* keeper = nullptr;  // given a reference by the constructor
  bool throwInAfterConstruction = false;
  bool refInBeforeDestruction = false;  // as a node-destroyed handler would
};

class TProbe : public TMyInterfacedObject {
 public:
  TProbe(TProbeLog& log, TProbeOptions options) : log_(log), options_(options) {
    if (options_.refInConstructor) {
      TInterfacePtr<IInterface> self(this);
    }
    if (options_.keeper) *options_.keeper = TInterfacePtr<IInterface>(this);
    log_.countWhileBuilding = RefCount();
  }
  ~TProbe() override {
    ++log_.destructors;
    log_.events.push_back("dtor");
  }

 protected:
  void AfterConstruction() override {
    TMyInterfacedObject::AfterConstruction();
    if (options_.throwInAfterConstruction) throw std::runtime_error("construction step failed");
  }
  void BeforeDestruction() override {
    log_.events.push_back(Destroying() ? "before(destroying)" : "before");
    if (options_.refInBeforeDestruction) {
      TInterfacePtr<IInterface> self(this);
    }
    TMyInterfacedObject::BeforeDestruction();
  }
  void AfterAddRef(std::int32_t n) override {
    log_.events.push_back("addref " + std::to_string(n));
  }
  void AfterRelease(std::int32_t n) override {
    log_.events.push_back("release " + std::to_string(n));
  }

 private:
  TProbeLog& log_;
  TProbeOptions options_;
};

}  // namespace

TEST(MyInterfacedObject, ConstructorMayTakeAndDropAReferenceToItself) {
  TProbeLog log;
  {
    auto probe = Create<TProbe>(log, TProbeOptions{.refInConstructor = true});
    EXPECT_EQ(log.destructors, 0);
    EXPECT_EQ(log.countWhileBuilding, 1);
    EXPECT_EQ(probe->RefCount(), 1);
  }
  EXPECT_EQ(log.destructors, 1);
}

TEST(MyInterfacedObject, LastReleaseRunsTheHooksThenDestroysOnce) {
  TProbeLog log;
  auto probe = Create<TProbe>(log, TProbeOptions{});
  EXPECT_EQ(probe->RefCount(), 1);
  EXPECT_FALSE(probe->Destroying());
  log.events.clear();

  {
    TInterfacePtr<TProbe> copy = probe;
    EXPECT_EQ(probe->RefCount(), 2);
  }
  EXPECT_EQ(log.events, (std::vector<std::string>{"addref 2", "release 1"}));
  EXPECT_EQ(log.destructors, 0);

  probe.Reset();
  EXPECT_EQ(log.events, (std::vector<std::string>{"addref 2", "release 1", "release 0",
                                                  "before(destroying)", "dtor"}));
  EXPECT_EQ(log.destructors, 1);
}

TEST(MyInterfacedObject, ReferenceTakenInBeforeDestructionDoesNotDestroyAgain) {
  TProbeLog log;
  auto probe = Create<TProbe>(log, TProbeOptions{.refInBeforeDestruction = true});
  probe.Reset();
  EXPECT_EQ(log.destructors, 1);
  EXPECT_EQ(log.Occurrences("before(destroying)"), 1);
  EXPECT_EQ(log.events.back(), "dtor");
}

TEST(MyInterfacedObject, ThrowingConstructionStepFreesTheObjectUnlessSomeoneKeptIt) {
  struct TCase {
    const char* name;
    bool constructorHandsOutAReference;
  };
  for (const TCase& c : {TCase{"nobody kept it", false}, TCase{"a keeper holds it", true}}) {
    SCOPED_TRACE(c.name);
    TProbeLog log;
    TInterfacePtr<IInterface> keeper;
    TProbeOptions options{.throwInAfterConstruction = true};
    if (c.constructorHandsOutAReference) options.keeper = &keeper;

    EXPECT_THROW(Create<TProbe>(log, options), std::runtime_error);
    if (c.constructorHandsOutAReference) {
      EXPECT_EQ(log.destructors, 0);
      ASSERT_TRUE(keeper);
      EXPECT_EQ(dynamic_cast<TProbe*>(keeper.Get())->RefCount(), 1);
      keeper.Reset();
    }
    EXPECT_EQ(log.destructors, 1);
  }
}

TEST(MyInterfacedObject, QueryInterfaceAnswersIInterfaceOnly) {
  TProbeLog log;
  auto probe = Create<TProbe>(log, TProbeOptions{});

  void* object = nullptr;
  EXPECT_EQ(probe->QueryInterface(IInterface::IID, &object), uInterfaces::S_OK);
  ASSERT_EQ(object, static_cast<IInterface*>(probe.Get()));
  EXPECT_EQ(probe->RefCount(), 2);  // the answer is a counted reference
  static_cast<IInterface*>(object)->Release();

  constexpr TGUID kUnknown{"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"};
  int sentinel = 0;
  object = &sentinel;
  EXPECT_EQ(probe->QueryInterface(kUnknown, &object), uInterfaces::E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(probe->RefCount(), 1);
}

namespace {
class TSharedObject : public TMyInterfacedObject {
 public:
  explicit TSharedObject(std::atomic<int>& destroyed) : destroyed_(destroyed) {}
  ~TSharedObject() override { ++destroyed_; }

 private:
  std::atomic<int>& destroyed_;
};
}  // namespace

TEST(MyInterfacedObjectThreads, LastReferencesDroppedTogetherDestroyOnce) {
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> destroyed{0};
    {
      auto object = Create<TSharedObject>(destroyed);
      std::vector<std::thread> threads;
      for (int t = 0; t < 4; ++t) {
        threads.emplace_back([ref = object] {
          for (int i = 0; i < 200; ++i) {
            TInterfacePtr<TSharedObject> copy = ref;
          }
        });
      }
      object.Reset();  // the threads now hold the last references
      for (auto& thread : threads) thread.join();
    }
    ASSERT_EQ(destroyed.load(), 1) << "round " << round;
  }
}
