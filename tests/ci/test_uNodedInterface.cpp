#include "ci/uNodedInterface.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <pugixml.hpp>

#include "ci/uMethod.h"
#include "ci/uMyInterfacedObject.h"
#include "ci/uStrUtils.h"

using uInterfaces::IInterface;
using uInterfaces::TGUID;
using uInterfaces::TInterfacePtr;
using uMyInterfacedObject::Create;
using uNodedInterface::INodedInterface;
using uNodedInterface::INodedInterfaceCore;
using uNodedInterface::TNodedInterface;
using uNodedInterface::TNodedPtr;
using uXmlUtils::TXmlElement;

namespace {

constexpr const char* kGuid = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
constexpr const char* kOtherGuid = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}";

// A node that counts the live instances, so tests can see a tree being freed.
class TTestNode : public TNodedInterface {
 public:
  explicit TTestNode(TXmlElement element = {}, IInterface* parent = nullptr)
      : TNodedInterface(std::move(element), parent) {
    ++Live();
  }
  ~TTestNode() override { --Live(); }
  std::string ClassName() const override { return "TTestNode"; }

  static std::atomic<int>& Live() {
    static std::atomic<int> live{0};
    return live;
  }
};

// A counted object that is not a node.
class TPlainObject : public uMyInterfacedObject::TMyInterfacedObject {
 public:
  TPlainObject() { ++Live(); }
  ~TPlainObject() override { --Live(); }

  static std::atomic<int>& Live() {
    static std::atomic<int> live{0};
    return live;
  }
};

using TTestNodePtr = TInterfacePtr<TTestNode>;

IInterface* AsInterface(INodedInterface* node) {
  return node;
}

// Descendant events as "name:level", with the GUID text the node had when announced.
struct TDescentLog {
  std::vector<std::string> added;
  std::vector<std::string> addedGuids;
  std::vector<std::string> removed;

  void OnAdded(INodedInterface* node, std::int32_t level) {
    added.push_back(node->GetName() + ":" + std::to_string(level));
    addedGuids.push_back(node->GetGUIDString());
  }
  void OnRemoved(INodedInterface* node, std::int32_t level) {
    removed.push_back(node->GetName() + ":" + std::to_string(level));
  }
  void OnThrow(INodedInterface*, std::int32_t) { throw std::runtime_error("handler failed"); }
};

using TDescentHandler = uMethod::TMethod<void(INodedInterface*, std::int32_t)>;

// Gives the node the GUID text from an element, as loading a saved tree does.
void LoadGuid(INodedInterface& node, const std::string& guidText) {
  const auto doc = std::make_shared<pugi::xml_document>();
  doc->append_child("node").append_attribute("GUID").set_value(guidText.c_str());
  node.LoadFromXML({doc, doc->first_child()}, false, true);
}

// Runs work on its own thread. A hang is a deadlock that no later test would survive, so the
// run ends there.
void RunBounded(const std::function<void()>& work,
                std::chrono::seconds limit = std::chrono::seconds(5)) {
  auto done = std::async(std::launch::async, work);
  if (done.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "node operations did not finish: deadlock\n");
    std::abort();
  }
  done.get();
}

}  // namespace

// ---- instance numbers and defaults

TEST(NodedInterfaceInstance, NumbersRestartAtTwoAfterTheNodesRestart) {
  uNodedInterface::detail::EndNodes();
  uNodedInterface::detail::StartNodes();
  auto first = Create<TNodedInterface>();
  auto second = Create<TNodedInterface>();
  EXPECT_EQ(first->GetInstanceNumber(), 2u);
  EXPECT_EQ(second->GetInstanceNumber(), 3u);
}

TEST(NodedInterfaceDefaults, NodeWithoutElementIsNamedEnabledAndHasAFreshGuid) {
  auto a = Create<TNodedInterface>();
  auto b = Create<TNodedInterface>();
  auto sub = Create<TTestNode>();

  EXPECT_EQ(a->GetName(), "TNodedInterface");
  EXPECT_EQ(sub->GetName(), "TTestNode");
  EXPECT_TRUE(a->GetEnabled());
  EXPECT_FALSE(a->GetXMLNode());
  EXPECT_FALSE(a->GetParent());
  EXPECT_EQ(a->GetChildCount(), 0);

  const std::string text = a->GetGUIDString();
  ASSERT_EQ(text.size(), 38u);
  const auto parsed = TGUID::Parse(text);
  ASSERT_TRUE(parsed.has_value()) << text;
  EXPECT_EQ(a->GetGUID(), *parsed);
  EXPECT_NE(b->GetGUIDString(), text);
  EXPECT_NE(sub->GetGUIDString(), text);
}

TEST(NodedInterfaceDefaults, MalformedGuidTextMakesGetGUIDThrow) {
  for (const char* text : {
           "", "not a guid",
           "6B29FC40-CA47-1067-B31D-00DD010662DA",    // no braces
           "{6B29FC40-CA47-1067-B31D-00DD010662DG}",  // not hexadecimal
       }) {
    SCOPED_TRACE(text);
    auto node = Create<TNodedInterface>();
    LoadGuid(*node, text);
    EXPECT_EQ(node->GetGUIDString(), text);
    EXPECT_THROW(node->GetGUID(), std::invalid_argument);
  }
}

// ---- XML

TEST(NodedInterfaceXml, NodeCreatedFromAnElementLoadsAndAttachesIt) {
  const auto doc = std::make_shared<pugi::xml_document>();
  ASSERT_TRUE(doc->load_string(
      R"(<node name="Modem" enabled="False" GUID="{6B29FC40-CA47-1067-B31D-00DD010662DA}"/>)"));
  const pugi::xml_node element = doc->first_child();

  auto node = Create<TNodedInterface>(TXmlElement(doc, element));
  EXPECT_EQ(node->GetName(), "Modem");
  EXPECT_FALSE(node->GetEnabled());
  EXPECT_EQ(node->GetGUIDString(), kGuid);
  EXPECT_EQ(node->GetGUID(), *TGUID::Parse(kGuid));
  EXPECT_EQ(node->GetXMLNode().Node(), element);
}

TEST(NodedInterfaceXml, EnabledAttributeValues) {
  struct TCase {
    const char* value;  // nullptr: no attribute
    bool enabled;
  };
  for (const TCase& c : {TCase{"False", false}, TCase{"0", false}, TCase{"true", true},
                         TCase{"1", true}, TCase{"garbage", true}, TCase{nullptr, true}}) {
    SCOPED_TRACE(c.value ? c.value : "(missing)");
    const auto doc = std::make_shared<pugi::xml_document>();
    pugi::xml_node element = doc->append_child("node");
    if (c.value) element.append_attribute("enabled").set_value(c.value);
    auto node = Create<TNodedInterface>(TXmlElement(doc, element));
    EXPECT_EQ(node->GetEnabled(), c.enabled);
  }
}

TEST(NodedInterfaceXml, LoadFromXMLTakesTheElementsGuidOnlyWhenAsked) {
  const auto doc = std::make_shared<pugi::xml_document>();
  ASSERT_TRUE(
      doc->load_string(R"(<node name="Loaded" GUID="{6B29FC40-CA47-1067-B31D-00DD010662DA}"/>)"));
  const pugi::xml_node element = doc->first_child();
  auto node = Create<TNodedInterface>();
  const std::string ownGuid = node->GetGUIDString();

  node->LoadFromXML({doc, element}, false, false);
  EXPECT_EQ(node->GetName(), "Loaded");
  EXPECT_EQ(node->GetGUIDString(), ownGuid);
  EXPECT_FALSE(node->GetXMLNode());

  node->LoadFromXML({doc, element}, true, true);
  EXPECT_EQ(node->GetGUIDString(), kGuid);
  EXPECT_EQ(node->GetXMLNode().Node(), element);
}

TEST(NodedInterfaceXml, SaveToXMLWritesTheAttributesOnceEach) {
  const auto doc = std::make_shared<pugi::xml_document>();
  ASSERT_TRUE(doc->load_string(
      R"(<node name="Old" enabled="True" GUID="{6B29FC40-CA47-1067-B31D-00DD010662DA}"/><bare/>)"));
  const pugi::xml_node element = doc->child("node");
  auto node = Create<TNodedInterface>(TXmlElement(doc, element));

  node->SetName("New");
  node->SetEnabled(false);
  node->SaveToXML();
  EXPECT_STREQ(element.attribute("name").value(), "New");
  EXPECT_STREQ(element.attribute("enabled").value(), "False");
  EXPECT_STREQ(element.attribute("GUID").value(), kGuid);
  EXPECT_EQ(std::distance(element.attributes_begin(), element.attributes_end()), 3);

  node->SetEnabled(true);
  node->SaveToXML();
  EXPECT_STREQ(element.attribute("enabled").value(), "True");

  // An element without the attributes gets them appended.
  const pugi::xml_node bare = doc->child("bare");
  auto fresh = Create<TNodedInterface>(TXmlElement(doc, bare));
  fresh->SaveToXML();
  EXPECT_STREQ(bare.attribute("name").value(), "TNodedInterface");
  EXPECT_STREQ(bare.attribute("enabled").value(), "True");
  EXPECT_EQ(bare.attribute("GUID").value(), fresh->GetGUIDString());
}

TEST(NodedInterfaceXml, WithoutAnAttachedElementNothingIsWritten) {
  const auto doc = std::make_shared<pugi::xml_document>();
  ASSERT_TRUE(doc->load_string(R"(<node name="Loaded" enabled="True"/>)"));
  const pugi::xml_node element = doc->first_child();
  auto node = Create<TNodedInterface>();
  node->LoadFromXML({doc, element}, false, false);

  node->SetName("Other");
  node->SetEnabled(false);
  node->SaveToXML();
  EXPECT_EQ(node->GetName(), "Other");
  EXPECT_STREQ(element.attribute("name").value(), "Loaded");
  EXPECT_STREQ(element.attribute("enabled").value(), "True");
  EXPECT_FALSE(element.attribute("GUID"));
}

TEST(NodedInterfaceXml, SetNameWritesTheAttachedElement) {
  const auto doc = std::make_shared<pugi::xml_document>();
  ASSERT_TRUE(doc->load_string(R"(<named name="Old"/><unnamed/>)"));
  for (const char* tag : {"named", "unnamed"}) {
    SCOPED_TRACE(tag);
    const pugi::xml_node element = doc->child(tag);
    auto node = Create<TNodedInterface>(TXmlElement(doc, element));
    node->SetName("Renamed");
    EXPECT_STREQ(element.attribute("name").value(), "Renamed");
    EXPECT_EQ(std::distance(element.attributes_begin(), element.attributes_end()), 1);
  }
}

TEST(NodedInterfaceXml, AssignXMLAttachesAndLoadsButKeepsTheGuid) {
  const auto doc = std::make_shared<pugi::xml_document>();
  ASSERT_TRUE(doc->load_string(
      R"(<node name="Assigned" enabled="0" GUID="{6B29FC40-CA47-1067-B31D-00DD010662DA}"/>)"));
  const pugi::xml_node element = doc->first_child();
  auto node = Create<TNodedInterface>();
  const std::string ownGuid = node->GetGUIDString();

  EXPECT_EQ(node->AssignXML({doc, element}), 0);
  EXPECT_EQ(node->GetXMLNode().Node(), element);
  EXPECT_EQ(node->GetName(), "Assigned");
  EXPECT_FALSE(node->GetEnabled());
  EXPECT_EQ(node->GetGUIDString(), ownGuid);
}

TEST(NodedInterfaceXml, TheNodeKeepsItsDocumentAfterEveryoneElseLetGo) {
  auto doc = std::make_shared<pugi::xml_document>();
  ASSERT_TRUE(doc->load_string(R"(<node name="Modem"/>)"));
  const std::weak_ptr<pugi::xml_document> watch = doc;
  auto node = Create<TNodedInterface>(TXmlElement(doc, doc->first_child()));
  doc.reset();

  ASSERT_FALSE(watch.expired());
  node->SetName("Renamed");  // writes into the document
  node->SaveToXML();
  EXPECT_STREQ(node->GetXMLNode().Node().attribute("name").value(), "Renamed");
  node->SetXMLNode({});
  EXPECT_TRUE(watch.expired());  // the last share went with the node's handle
}

// ---- tree

namespace {
// Owns the nodes of a test; shuts them down afterwards and checks that all of them are freed.
class NodedInterfaceTree : public testing::Test {
 protected:
  void SetUp() override {
    liveNodes_ = TTestNode::Live();
    livePlain_ = TPlainObject::Live();
  }

  void TearDown() override {
    for (auto& node : nodes_) node->Shutdown();
    nodes_.clear();
    plain_.clear();
    EXPECT_EQ(TTestNode::Live(), liveNodes_);
    EXPECT_EQ(TPlainObject::Live(), livePlain_);
  }

  TTestNode* Node(const std::string& name) {
    nodes_.push_back(Create<TTestNode>());
    nodes_.back()->SetName(name);
    return nodes_.back().Get();
  }

  TTestNode* Keep(TTestNodePtr node) {
    nodes_.push_back(std::move(node));
    return nodes_.back().Get();
  }

  IInterface* Plain() {
    plain_.push_back(Create<TPlainObject>());
    return plain_.back().Get();
  }

  // A log that records the node's descendant events.
  TDescentLog& Watch(INodedInterface* node) {
    TDescentLog& log = logs_.emplace_back();
    node->GetDescendantAddedEventer().AddHandler(TDescentHandler(&log, &TDescentLog::OnAdded));
    node->GetDescendantRemovedEventer().AddHandler(TDescentHandler(&log, &TDescentLog::OnRemoved));
    return log;
  }

  // Declared before the nodes: the logs outlive every handler that writes to them.
  std::deque<TDescentLog> logs_;
  std::vector<TTestNodePtr> nodes_;
  std::vector<TInterfacePtr<TPlainObject>> plain_;

 private:
  int liveNodes_ = 0;
  int livePlain_ = 0;
};

using Strings = std::vector<std::string>;
}  // namespace

TEST_F(NodedInterfaceTree, AddChildAppendsAndSetsTheChildsParent) {
  TTestNode* root = Node("root");
  TTestNode* a = Node("a");
  TTestNode* b = Node("b");

  EXPECT_EQ(root->AddChild(a), 0);
  EXPECT_EQ(root->AddChild(b), 1);
  EXPECT_EQ(root->GetChildCount(), 2);
  EXPECT_EQ(root->IndexOfChild(a), 0);
  EXPECT_EQ(root->IndexOfChild(b), 1);
  EXPECT_EQ(root->IndexOfChild(root), -1);
  EXPECT_EQ(root->IndexOfChild(nullptr), -1);
  EXPECT_EQ(root->GetChild(1).Get(), static_cast<INodedInterface*>(b));
  EXPECT_EQ(a->GetParentNoded().Get(), static_cast<INodedInterface*>(root));
  EXPECT_EQ(a->GetParent().Get(), static_cast<IInterface*>(root));
}

TEST_F(NodedInterfaceTree, AddChildRejectsNullAndDuplicatesSilently) {
  TTestNode* root = Node("root");
  TTestNode* a = Node("a");
  ASSERT_EQ(root->AddChild(a), 0);
  TDescentLog& log = Watch(root);

  EXPECT_EQ(root->AddChild(a), -1);
  EXPECT_EQ(root->AddChild(nullptr), -1);
  EXPECT_EQ(root->GetChildCount(), 1);
  EXPECT_TRUE(log.added.empty());
}

TEST_F(NodedInterfaceTree, SetParentToTheSameParentAgainChangesNothing) {
  TTestNode* root = Node("root");
  TTestNode* a = Node("a");
  TDescentLog& log = Watch(root);

  a->SetParent(root);
  a->SetParent(root);
  EXPECT_EQ(root->GetChildCount(), 1);
  EXPECT_EQ(log.added, Strings{"a:1"});
  EXPECT_EQ(a->GetParentNoded().Get(), static_cast<INodedInterface*>(root));
}

TEST_F(NodedInterfaceTree, ChildMovesToAnotherParent) {
  struct TCase {
    const char* name;
    std::function<void(TTestNode* child, TTestNode* to)> move;
  };
  const TCase cases[] = {
      {"SetParent", [](TTestNode* child, TTestNode* to) { child->SetParent(to); }},
      {"AddChild", [](TTestNode* child, TTestNode* to) { EXPECT_EQ(to->AddChild(child), 0); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TTestNode* from = Node("from");
    TTestNode* to = Node("to");
    TTestNode* child = Node("child");
    ASSERT_EQ(from->AddChild(child), 0);
    TDescentLog& fromLog = Watch(from);
    TDescentLog& toLog = Watch(to);

    c.move(child, to);
    EXPECT_EQ(from->GetChildCount(), 0);
    EXPECT_EQ(to->IndexOfChild(child), 0);
    EXPECT_EQ(child->GetParentNoded().Get(), static_cast<INodedInterface*>(to));
    EXPECT_EQ(fromLog.removed, Strings{"child:1"});
    EXPECT_EQ(toLog.added, Strings{"child:1"});

    // The old parent no longer hears from below the child.
    child->AddChild(Node("grandchild"));
    EXPECT_TRUE(fromLog.added.empty());
    EXPECT_EQ(toLog.added, (Strings{"child:1", "grandchild:2"}));
  }
}

TEST_F(NodedInterfaceTree, RemoveChildAnswersTheFormerIndexAndClearsTheParent) {
  TTestNode* root = Node("root");
  TTestNode* a = Node("a");
  TTestNode* b = Node("b");
  TTestNode* c = Node("c");
  for (TTestNode* child : {a, b, c}) root->AddChild(child);

  EXPECT_EQ(root->RemoveChild(b), 1);
  EXPECT_FALSE(b->GetParent());
  EXPECT_EQ(root->IndexOfChild(c), 1);
  EXPECT_EQ(root->RemoveChild(b), -1);
  EXPECT_EQ(root->RemoveChild(nullptr), -1);
  EXPECT_EQ(root->RemoveChild(Node("stranger")), -1);
  EXPECT_EQ(root->GetChildCount(), 2);
}

TEST_F(NodedInterfaceTree, GetChildOutOfRangeIsNull) {
  TTestNode* root = Node("root");
  root->AddChild(Node("a"));
  root->AddChild(Node("b"));
  for (int index : {-1, 2, 100, INT_MIN, INT_MAX}) {
    EXPECT_FALSE(root->GetChild(index)) << index;
  }
}

TEST_F(NodedInterfaceTree, GetChildrenIsASnapshot) {
  TTestNode* root = Node("root");
  TTestNode* a = Node("a");
  root->AddChild(a);
  root->AddChild(Node("b"));

  const uNodedInterface::TInterfaceList snapshot = root->GetChildren();
  root->RemoveChild(a);
  root->AddChild(Node("c"));
  root->AddChild(Node("d"));
  ASSERT_EQ(snapshot.size(), 2u);
  EXPECT_EQ(snapshot[0].Get(), static_cast<IInterface*>(a));
}

TEST_F(NodedInterfaceTree, RemoveAllChildrenDetachesNodesAndKeepsOtherObjects) {
  TTestNode* root = Node("root");
  TTestNode* a = Node("a");
  TTestNode* b = Node("b");
  IInterface* p = Plain();
  IInterface* q = Plain();
  for (IInterface* child : {AsInterface(a), p, AsInterface(b), q}) root->AddChild(child);
  TDescentLog& log = Watch(root);

  EXPECT_EQ(root->RemoveAllChildren(), 2);
  EXPECT_FALSE(a->GetParent());
  EXPECT_FALSE(b->GetParent());
  std::sort(log.removed.begin(), log.removed.end());
  EXPECT_EQ(log.removed, (Strings{"a:1", "b:1"}));

  const uNodedInterface::TInterfaceList rest = root->GetChildren();
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0].Get(), p);
  EXPECT_EQ(rest[1].Get(), q);
  EXPECT_FALSE(root->GetChild(0));  // not a node
  EXPECT_EQ(root->RemoveAllChildren(), 0);
  EXPECT_EQ(root->GetChildCount(), 2);
}

TEST_F(NodedInterfaceTree, RemoveAllChildrenEndsAfterCountPlusOnePasses) {
  // Every removal brings a new child: the detaching ends anyway, one pass after the
  // children there were at its start.
  struct TRefill {
    TNodedInterface* parent = nullptr;
    int added = 0;
    void OnRemoved(INodedInterface*, std::int32_t level) {
      if (level != 1 || added == 1000) return;  // a bound for a detaching that never ends
      ++added;
      parent->AddChild(Create<TTestNode>().Get());
    }
  } refill;
  TTestNode* root = Node("root");
  for (const char* name : {"a", "b", "c"}) root->AddChild(Node(name));
  refill.parent = root;
  root->GetDescendantRemovedEventer().AddHandler(TDescentHandler(&refill, &TRefill::OnRemoved));

  EXPECT_EQ(root->RemoveAllChildren(), 4);
  EXPECT_EQ(refill.added, 4);
  EXPECT_EQ(root->GetChildCount(), 3);  // the ones added by the last three removals
  root->GetDescendantRemovedEventer().RemoveHandler(TDescentHandler(&refill, &TRefill::OnRemoved));
  EXPECT_EQ(root->RemoveAllChildren(), 3);
}

TEST_F(NodedInterfaceTree, ANodeCannotBecomeItsOwnAncestor) {
  // root -> a -> b
  TTestNode* root = Node("root");
  TTestNode* a = Node("a");
  TTestNode* b = Node("b");
  root->AddChild(a);
  a->AddChild(b);
  TDescentLog& log = Watch(root);

  EXPECT_EQ(a->AddChild(a), -1);
  EXPECT_EQ(b->AddChild(root), -1);
  a->SetParent(b);
  a->SetParent(a);
  EXPECT_EQ(a->GetParent().Get(), AsInterface(root));
  EXPECT_EQ(b->GetParent().Get(), AsInterface(a));
  EXPECT_EQ(a->GetChildCount(), 1);
  EXPECT_EQ(b->GetChildCount(), 0);
  EXPECT_TRUE(log.added.empty());
  EXPECT_TRUE(log.removed.empty());
}

TEST_F(NodedInterfaceTree, CountChildrenSupportingExcludesTheNodeItself) {
  // root: a (a1, plain), b, plain
  TTestNode* root = Node("root");
  TTestNode* a = Node("a");
  root->AddChild(a);
  root->AddChild(Node("b"));
  root->AddChild(Plain());
  a->AddChild(Node("a1"));
  a->AddChild(Plain());

  struct TCase {
    const char* name;
    TGUID iid;
    bool recursive;
    int expected;
  };
  const TCase cases[] = {
      {"nodes, children", INodedInterface::IID, false, 2},
      {"nodes, subtree", INodedInterface::IID, true, 3},
      {"node cores, subtree", INodedInterfaceCore::IID, true, 3},
      {"anything, children", IInterface::IID, false, 3},
      {"anything, subtree", IInterface::IID, true, 5},
      {"unknown, subtree", TGUID{"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"}, true, 0},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(root->CountChildrenSupporting(c.iid, c.recursive), c.expected) << c.name;
  }
  EXPECT_EQ(Node("leaf")->CountChildrenSupporting(INodedInterface::IID, true), 0);
}

TEST(NodedInterfaceShutdown, DetachesTheWholeSubtreeSoEverythingIsFreed) {
  const int liveNodes = TTestNode::Live();
  const int livePlain = TPlainObject::Live();
  {
    // root: a (a1 (a1x), plain), b
    auto root = Create<TTestNode>();
    auto a = Create<TTestNode>();
    auto a1 = Create<TTestNode>();
    root->AddChild(a.Get());
    root->AddChild(Create<TTestNode>().Get());
    a->AddChild(a1.Get());
    a->AddChild(Create<TPlainObject>().Get());
    a1->AddChild(Create<TTestNode>().Get());
    a.Reset();
    ASSERT_EQ(TTestNode::Live(), liveNodes + 5);  // the tree keeps itself alive

    root->Shutdown();
    EXPECT_EQ(root->GetChildCount(), 0);
    EXPECT_FALSE(a1->GetParent());
    EXPECT_EQ(a1->GetChildCount(), 0);
    EXPECT_EQ(TTestNode::Live(), liveNodes + 2);  // root and a1, still referenced here
  }
  EXPECT_EQ(TTestNode::Live(), liveNodes);
  EXPECT_EQ(TPlainObject::Live(), livePlain);
}

// ---- descendant events

namespace {
class NodedInterfaceEvents : public NodedInterfaceTree {};
}  // namespace

TEST_F(NodedInterfaceEvents, LevelsCountFromTheNodeThatRaises) {
  TTestNode* root = Node("root");
  TTestNode* a = Node("a");
  TTestNode* g = Node("g");
  TTestNode* gg = Node("gg");
  TDescentLog& rootLog = Watch(root);
  TDescentLog& aLog = Watch(a);

  root->AddChild(a);
  a->AddChild(g);
  g->AddChild(gg);
  EXPECT_EQ(rootLog.added, (Strings{"a:1", "g:2", "gg:3"}));
  EXPECT_EQ(aLog.added, (Strings{"g:1", "gg:2"}));

  g->RemoveChild(gg);
  a->RemoveChild(g);
  EXPECT_EQ(rootLog.removed, (Strings{"gg:3", "g:2"}));
  EXPECT_EQ(aLog.removed, (Strings{"gg:2", "g:1"}));

  // g is detached: what happens below it is no longer heard above.
  g->AddChild(gg);
  EXPECT_EQ(rootLog.added.size(), 3u);
  EXPECT_EQ(aLog.added.size(), 2u);
}

TEST_F(NodedInterfaceEvents, ThrowingHandlerStopsNeitherTheOthersNorTheChange) {
  TTestNode* root = Node("root");
  TTestNode* a = Node("a");
  TDescentLog& thrower = logs_.emplace_back();
  root->GetDescendantAddedEventer().AddHandler(TDescentHandler(&thrower, &TDescentLog::OnThrow));
  root->GetDescendantRemovedEventer().AddHandler(TDescentHandler(&thrower, &TDescentLog::OnThrow));
  TDescentLog& log = Watch(root);

  EXPECT_EQ(root->AddChild(a), 0);
  EXPECT_EQ(a->GetParentNoded().Get(), static_cast<INodedInterface*>(root));
  EXPECT_EQ(log.added, Strings{"a:1"});

  EXPECT_EQ(root->RemoveChild(a), 0);
  EXPECT_FALSE(a->GetParent());
  EXPECT_EQ(log.removed, Strings{"a:1"});
}

TEST_F(NodedInterfaceEvents, NodeCreatedUnderAParentIsAnnouncedLoaded) {
  const auto doc = std::make_shared<pugi::xml_document>();
  ASSERT_TRUE(
      doc->load_string(R"(<node name="Modem" GUID="{6B29FC40-CA47-1067-B31D-00DD010662DA}"/>)"));
  TTestNode* root = Node("root");
  TDescentLog& log = Watch(root);

  TTestNode* child = Keep(Create<TTestNode>(TXmlElement(doc, doc->first_child()), root));
  EXPECT_EQ(root->IndexOfChild(child), 0);
  EXPECT_EQ(log.added, Strings{"Modem:1"});
  EXPECT_EQ(log.addedGuids, Strings{kGuid});
}

// ---- search

namespace {
// root: first "Child" (a1 "dup", a2 "leaf"), second "dup" (b1), third "child"
class NodedInterfaceFind : public NodedInterfaceTree {
 protected:
  void SetUp() override {
    NodedInterfaceTree::SetUp();
    root = Node("root");
    first = Node("Child");
    a1 = Node("dup");
    a2 = Node("leaf");
    second = Node("dup");
    b1 = Node("b1");
    third = Node("child");
    for (TTestNode* child : {first, second, third}) root->AddChild(child);
    first->AddChild(a1);
    first->AddChild(a2);
    second->AddChild(b1);
  }

  TTestNode* root = nullptr;
  TTestNode* first = nullptr;
  TTestNode* a1 = nullptr;
  TTestNode* a2 = nullptr;
  TTestNode* second = nullptr;
  TTestNode* b1 = nullptr;
  TTestNode* third = nullptr;
};
}  // namespace

TEST_F(NodedInterfaceFind, ByNameIsDepthFirstAndCaseSensitive) {
  struct TCase {
    const char* name;
    TTestNode* expected;  // nullptr: not found
  };
  const TCase cases[] = {
      {"root", root}, {"Child", first}, {"child", third},   {"dup", a1},
      {"b1", b1},     {"leaf", a2},     {"CHILD", nullptr}, {"", nullptr},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TNodedPtr found(root);  // a stale result is cleared when nothing is found
    EXPECT_EQ(root->FindByName(c.name, found), c.expected != nullptr);
    EXPECT_EQ(found.Get(), static_cast<INodedInterface*>(c.expected));
  }
}

TEST_F(NodedInterfaceFind, ByGuidIsDepthFirstAndCaseSensitive) {
  LoadGuid(*a1, kGuid);
  LoadGuid(*second, kGuid);
  struct TCase {
    const char* name;
    std::string guid;
    TTestNode* expected;
  };
  const TCase cases[] = {
      {"self", root->GetGUIDString(), root},
      {"grandchild", b1->GetGUIDString(), b1},
      {"first in depth-first order", kGuid, a1},
      {"lower case", uStrUtils::AsciiLower(kGuid), nullptr},
      {"absent", kOtherGuid, nullptr},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TNodedPtr found(root);
    EXPECT_EQ(root->FindByGUID(c.guid, found), c.expected != nullptr);
    EXPECT_EQ(found.Get(), static_cast<INodedInterface*>(c.expected));
  }
}

// ---- node created / destroyed

namespace {
struct TLifeLog {
  std::vector<INodedInterface*> created;
  std::vector<std::string> createdNames;
  std::vector<INodedInterface*> destroyed;
  std::vector<std::string> destroyedNames;

  void OnCreated(INodedInterface* node) {
    created.push_back(node);
    createdNames.push_back(node->GetName());
  }
  // Takes and drops a counted reference while the node is being destroyed.
  void OnDestroyed(INodedInterface* node) {
    const TNodedPtr keep(node);
    destroyed.push_back(node);
    destroyedNames.push_back(keep->GetName());
  }
};

using TLifeHandler = uMethod::TMethod<void(INodedInterface*)>;

// Subscribes a log to the process-wide eventers for the length of a test.
class TLifeSubscription {
 public:
  explicit TLifeSubscription(TLifeLog& log) : log_(log) {
    uNodedInterface::NodeCreatedEventer()->AddHandler(TLifeHandler(&log_, &TLifeLog::OnCreated));
    uNodedInterface::NodeDestroyedEventer()->AddHandler(
        TLifeHandler(&log_, &TLifeLog::OnDestroyed));
  }
  ~TLifeSubscription() {
    uNodedInterface::NodeCreatedEventer()->RemoveHandler(TLifeHandler(&log_, &TLifeLog::OnCreated));
    uNodedInterface::NodeDestroyedEventer()->RemoveHandler(
        TLifeHandler(&log_, &TLifeLog::OnDestroyed));
  }
  TLifeSubscription(const TLifeSubscription&) = delete;
  TLifeSubscription& operator=(const TLifeSubscription&) = delete;

 private:
  TLifeLog& log_;
};
}  // namespace

TEST(NodedInterfaceLifeEvents, RaisedOncePerNodeAtCreationAndAtDestruction) {
  ASSERT_NE(uNodedInterface::NodeCreatedEventer(), nullptr);
  ASSERT_NE(uNodedInterface::NodeDestroyedEventer(), nullptr);
  const auto doc = std::make_shared<pugi::xml_document>();
  ASSERT_TRUE(doc->load_string(R"(<node name="Modem"/>)"));
  TLifeLog log;
  TLifeSubscription subscription(log);

  auto sub = Create<TTestNode>(TXmlElement(doc, doc->first_child()));
  auto plain = Create<TNodedInterface>();
  INodedInterface* const subNode = sub.Get();
  INodedInterface* const plainNode = plain.Get();
  EXPECT_EQ(log.created, (std::vector<INodedInterface*>{subNode, plainNode}));
  EXPECT_EQ(log.createdNames, (Strings{"Modem", "TNodedInterface"}));
  EXPECT_TRUE(log.destroyed.empty());

  sub.Reset();
  EXPECT_EQ(log.destroyed, std::vector<INodedInterface*>{subNode});
  plain.Reset();
  EXPECT_EQ(log.destroyed, (std::vector<INodedInterface*>{subNode, plainNode}));
  EXPECT_EQ(log.destroyedNames, (Strings{"Modem", "TNodedInterface"}));
  EXPECT_EQ(log.created.size(), 2u);
}

// ---- threads

namespace {
struct TEventCounter {
  std::atomic<int> added{0};
  std::atomic<int> removed{0};
  void OnAdded(INodedInterface*, std::int32_t) { ++added; }
  void OnRemoved(INodedInterface*, std::int32_t) { ++removed; }
};
}  // namespace

TEST(NodedInterfaceConcurrency, AddingAndRemovingWhileReadingFinishesConsistently) {
  constexpr int kRounds = 200;
  const int liveNodes = TTestNode::Live();
  TEventCounter events;
  {
    auto parent = Create<TTestNode>();
    parent->GetDescendantAddedEventer().AddHandler(
        TDescentHandler(&events, &TEventCounter::OnAdded));
    parent->GetDescendantRemovedEventer().AddHandler(
        TDescentHandler(&events, &TEventCounter::OnRemoved));
    const TTestNodePtr children[] = {Create<TTestNode>(), Create<TTestNode>()};
    std::atomic<int> failures{0};

    RunBounded([&] {
      std::atomic<bool> writing{true};
      auto writer = [&](TTestNode* child) {
        for (int i = 0; i < kRounds; ++i) {
          if (parent->AddChild(child) < 0) ++failures;
          if (parent->RemoveChild(child) < 0) ++failures;
        }
      };
      std::thread reader([&] {
        while (writing) {
          const int count = parent->GetChildCount();
          if (count < 0 || count > 2) ++failures;
          for (const auto& child : parent->GetChildren())
            if (child.Get() != AsInterface(children[0].Get()) &&
                child.Get() != AsInterface(children[1].Get()))
              ++failures;
        }
      });
      std::thread first(writer, children[0].Get());
      std::thread second(writer, children[1].Get());
      first.join();
      second.join();
      writing = false;
      reader.join();
    });

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(parent->GetChildCount(), 0);
    for (const auto& child : children) EXPECT_FALSE(child->GetParent());
    EXPECT_EQ(events.added.load(), 2 * kRounds);
    EXPECT_EQ(events.removed.load(), 2 * kRounds);
    parent->Shutdown();
  }
  EXPECT_EQ(TTestNode::Live(), liveNodes);
}

TEST(NodedInterfaceConcurrency, AttachingASubtreeWhileItGrowsBelow) {
  const int liveNodes = TTestNode::Live();
  {
    // sub already has a child; nothing has asked for sub's own eventers yet.
    auto root = Create<TTestNode>();
    auto sub = Create<TTestNode>();
    auto child = Create<TTestNode>();
    auto grandchild = Create<TTestNode>();
    sub->AddChild(child.Get());

    RunBounded([&] {
      std::thread attach([&] { root->AddChild(sub.Get()); });
      std::thread grow([&] { child->AddChild(grandchild.Get()); });
      attach.join();
      grow.join();
    });

    EXPECT_EQ(root->IndexOfChild(sub.Get()), 0);
    EXPECT_EQ(sub->IndexOfChild(child.Get()), 0);
    EXPECT_EQ(child->IndexOfChild(grandchild.Get()), 0);
    root->Shutdown();
  }
  EXPECT_EQ(TTestNode::Live(), liveNodes);
}

TEST(NodedInterfaceConcurrency,
     AddingAndRemovingTheSameChildAtOnceLeavesListParentAndHandlersAgreeing) {
  constexpr int kRounds = 20000;
  const int liveNodes = TTestNode::Live();
  {
    auto parent = Create<TTestNode>();
    auto child = Create<TTestNode>();
    IInterface* const parentId = AsInterface(parent.Get());
    int disagreement = -1;  // the first round whose result did not agree
    RunBounded(
        [&] {
          std::barrier<> sync(3);  // both workers and this thread, twice per round
          std::atomic<bool> stop{false};
          auto worker = [&](bool add) {
            for (;;) {
              sync.arrive_and_wait();
              if (stop) return;
              if (add)
                parent->AddChild(child.Get());
              else
                parent->RemoveChild(child.Get());
              sync.arrive_and_wait();
            }
          };
          std::thread adder(worker, true);
          std::thread remover(worker, false);
          for (int round = 0; round < kRounds && disagreement < 0; ++round) {
            sync.arrive_and_wait();
            sync.arrive_and_wait();
            const bool listed = parent->IndexOfChild(child.Get()) >= 0;
            const bool linked = child->GetParent().Get() == parentId;
            const std::size_t handlers = linked ? 1 : 0;
            if (listed != linked || child->GetDescendantAddedEventer().Count() != handlers ||
                child->GetDescendantRemovedEventer().Count() != handlers)
              disagreement = round;
            parent->RemoveChild(child.Get());
          }
          stop = true;
          sync.arrive_and_wait();
          adder.join();
          remover.join();
        },
        std::chrono::seconds(120));
    EXPECT_EQ(disagreement, -1) << "round " << disagreement;

    // Once the parent is gone, nothing below the child may reach it any more.
    EXPECT_EQ(child->GetDescendantAddedEventer().Count(), 0u);
    parent->Shutdown();
    parent.Reset();
    auto grandchild = Create<TTestNode>();
    EXPECT_EQ(child->AddChild(grandchild.Get()), 0);
    child->Shutdown();
  }
  EXPECT_EQ(TTestNode::Live(), liveNodes);
}
