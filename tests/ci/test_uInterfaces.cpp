#include "ci/uInterfaces.h"

#include <gtest/gtest.h>

#include <set>

#include "support/TestInterfaces.h"

using testsupport::ITestSender;
using testsupport::TTestObject;
using uInterfaces::TGUID;
using uInterfaces::TInterfacePtr;

TEST(InterfacesGuid, RegistryFormRoundTrips) {
  constexpr TGUID g{"{dd03f488-8A5F-4757-98c3-8C2F2F38BEF4}"};
  EXPECT_EQ(g.D1, 0xDD03F488u);
  EXPECT_EQ(g.D2, 0x8A5Fu);
  EXPECT_EQ(g.D3, 0x4757u);
  EXPECT_EQ(g.D4[0], 0x98u);
  EXPECT_EQ(g.D4[7], 0xF4u);
  EXPECT_EQ(g.ToString(), "{DD03F488-8A5F-4757-98C3-8C2F2F38BEF4}");
  EXPECT_EQ(TGUID::Parse(g.ToString()), g);
}

TEST(InterfacesGuid, MalformedTextsDoNotParse) {
  for (const char* text : {
           "",
           "DD03F488-8A5F-4757-98C3-8C2F2F38BEF4",     // no braces
           "{DD03F488-8A5F-4757-98C3-8C2F2F38BEF}",    // one digit short
           "{DD03F488-8A5F-4757-98C3-8C2F2F38BEF44}",  // one digit long
           "{DD03F4888A5F-4757-98C3-8C2F2F38BEF4-}",   // hyphen misplaced
           "{DD03F488-8A5F-4757-98C3-8C2F2F38BEG4}",   // not hexadecimal
           "{DD03F488 8A5F-4757-98C3-8C2F2F38BEF4}",   // space for hyphen
       }) {
    EXPECT_FALSE(TGUID::Parse(text).has_value()) << text;
  }
}

TEST(InterfacesGuid, NewGuidsAreFreshVersion4InRegistryForm) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string text = TGUID::NewGuid().ToString();
    ASSERT_EQ(text.size(), 38u);
    ASSERT_TRUE(TGUID::Parse(text).has_value()) << text;
    EXPECT_EQ(text[15], '4') << text;
    EXPECT_NE(std::string("89AB").find(text[20]), std::string::npos) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(InterfacesPtr, CountsReferencesAndFreesWithTheLast) {
  const int liveBefore = TTestObject::Live();
  auto* object = new TTestObject(7);
  {
    TInterfacePtr<ITestSender> a(object);
    EXPECT_EQ(object->RefCount(), 1);
    TInterfacePtr<ITestSender> b = a;
    EXPECT_EQ(object->RefCount(), 2);
    TInterfacePtr<ITestSender> c = std::move(b);
    EXPECT_EQ(object->RefCount(), 2);
    EXPECT_FALSE(b);  // NOLINT(bugprone-use-after-move): the moved-from state is the point
    a = nullptr;
    EXPECT_EQ(object->RefCount(), 1);
    const TInterfacePtr<ITestSender>& same = c;
    c = same;  // self-assignment keeps the reference
    EXPECT_EQ(object->RefCount(), 1);
  }
  EXPECT_EQ(TTestObject::Live(), liveBefore);
}

TEST(InterfacesSupports, AnswersByInterfaceId) {
  TInterfacePtr<ITestSender> sender(new TTestObject(3));
  TInterfacePtr<uInterfaces::IInterface> root;
  ASSERT_TRUE(uInterfaces::Supports(sender, root));
  EXPECT_EQ(static_cast<TTestObject*>(sender.Get())->RefCount(), 2);

  EXPECT_TRUE(uInterfaces::Supports(root.Get(), ITestSender::IID));
  constexpr TGUID other{"{00000000-0000-0000-0000-000000000001}"};
  EXPECT_FALSE(uInterfaces::Supports(root.Get(), other));
  EXPECT_FALSE(uInterfaces::Supports(nullptr, ITestSender::IID));
  EXPECT_EQ(static_cast<TTestObject*>(sender.Get())->RefCount(), 2);

  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(sender->QueryInterface(other, &p), uInterfaces::E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(uInterfaces::E_NOINTERFACE, static_cast<std::int32_t>(0x80004002u));
}
