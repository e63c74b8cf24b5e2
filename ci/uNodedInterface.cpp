#include "ci/uNodedInterface.h"

#include <atomic>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "ci/uCI_Library.h"
#include "ci/uXmlUtils.h"

namespace uNodedInterface {

using uInterfaces::HRESULT;

namespace {
std::atomic<std::uint32_t> gInstanceCounter{1};
std::mutex gNodeEventersMutex;
std::shared_ptr<uEventer::Teventer_NodedInterface> gNodeCreated;
std::shared_ptr<uEventer::Teventer_NodedInterface> gNodeDestroyed;

// Orders every change of the links between nodes. Under it only link guards and no other
// lock are taken, and no reference is let go of (which might free a node and so change
// links again).
std::mutex gTreeMutex;

using TDescentHandler = uEventer::TeventerDescentEvent::THandler;

std::shared_ptr<uEventer::Teventer_NodedInterface> LoadEventer(
    const std::shared_ptr<uEventer::Teventer_NodedInterface>& eventer) {
  std::lock_guard lock(gNodeEventersMutex);
  return eventer;
}

// The object's identity: its one IInterface subobject.
IInterface* Identity(IInterface* p) {
  return p;
}

TNodedPtr AsNode(IInterface* p) {
  TNodedPtr node;
  uInterfaces::Supports(p, node);
  return node;
}

// A node of the tree, without touching its count.
TNodedInterface* AsTreeNode(IInterface* p) {
  return dynamic_cast<TNodedInterface*>(p);
}

}  // namespace

TNodedInterface::TNodedInterface(TXmlElement element, IInterface* parent)
    : initialElement_(std::move(element)),
      initialParent_(parent),
      instanceNumber_(++gInstanceCounter),
      // Created here rather than on first use: DoDescendantAdded/Removed read them from
      // whichever thread changes the subtree, without this node's lock.
      descendantAdded_(std::make_unique<uEventer::TeventerDescentEvent>()),
      descendantRemoved_(std::make_unique<uEventer::TeventerDescentEvent>()) {
  xmlNode_ = initialElement_;
}

TNodedInterface::~TNodedInterface() {
  RemoveAllChildren();
  if (subscribedTo_) {
    descendantAdded_->RemoveHandler({subscribedTo_.Get(), &TNodedInterface::DoDescendantAdded});
    descendantRemoved_->RemoveHandler({subscribedTo_.Get(), &TNodedInterface::DoDescendantRemoved});
  }
}

void TNodedInterface::AfterConstruction() {
  TMyInterfacedObject::AfterConstruction();
  {
    TNodeWriteLock hold(*this);
    if (name_.empty()) name_ = ClassName();
  }
  // Loaded before joining the parent, so the parent's descendant handlers see the node's
  // name and GUID.
  LoadFromXML(std::exchange(initialElement_, {}), true, false);
  SetParent(initialParent_.Get());
  initialParent_.Reset();
  if (const auto created = LoadEventer(gNodeCreated)) created->Raise(this);
}

void TNodedInterface::BeforeDestruction() {
  if (const auto destroyed = LoadEventer(gNodeDestroyed)) destroyed->Raise(this);
  TMyInterfacedObject::BeforeDestruction();
}

HRESULT TNodedInterface::QueryInterface(const TGUID& iid, void** object) {
  if (iid == INodedInterface::IID)
    return uMyInterfacedObject::AnswerInterface<INodedInterface>(this, object);
  if (iid == INodedInterfaceCore::IID)
    return uMyInterfacedObject::AnswerInterface<INodedInterfaceCore>(this, object);
  return TMyInterfacedObject::QueryInterface(iid, object);
}

// ---- lock

void TNodedInterface::BeginWrite() {
  lock_.BeginWrite();
}

void TNodedInterface::EndWrite() {
  if (!lock_.IsWriter()) return;  // a release without a hold changes nothing
  lock_.EndWrite();
}

void TNodedInterface::BeginRead() {
  lock_.BeginRead();
}

void TNodedInterface::EndRead() {
  if (lock_.ThreadReadDepth() == 0) return;
  lock_.EndRead();
}

// ---- simple properties

std::string TNodedInterface::GetName() {
  TNodeReadLock hold(*this);
  return name_;
}

void TNodedInterface::SetName(const std::string& name) {
  TNodeWriteLock hold(*this);
  name_ = name;
  if (xmlNode_) uXmlUtils::WriteXmlString(xmlNode_.Node(), "name", name_);
}

TGUID TNodedInterface::GetGUID() {
  const std::string text = GetGUIDString();
  const auto guid = TGUID::Parse(text);
  if (!guid) throw std::invalid_argument("'" + text + "' is not a valid GUID value");
  return *guid;
}

std::string TNodedInterface::GetGUIDString() {
  TNodeReadLock hold(*this);
  return guidText_;
}

bool TNodedInterface::GetEnabled() {
  TNodeReadLock hold(*this);
  return enabled_;
}

void TNodedInterface::SetEnabled(bool enabled) {
  TNodeWriteLock hold(*this);
  enabled_ = enabled;
}

void TNodedInterface::DoDescendantAdded(INodedInterface* node, std::int32_t level) {
  if (descendantAdded_) descendantAdded_->Raise(node, level + 1);
}

void TNodedInterface::DoDescendantRemoved(INodedInterface* node, std::int32_t level) {
  if (descendantRemoved_) descendantRemoved_->Raise(node, level + 1);
}

uEventer::TeventerDescentEvent& TNodedInterface::GetDescendantAddedEventer() {
  return *descendantAdded_;
}

uEventer::TeventerDescentEvent& TNodedInterface::GetDescendantRemovedEventer() {
  return *descendantRemoved_;
}

// ---- XML

void TNodedInterface::SetXMLNode(TXmlElement element) {
  TNodeWriteLock hold(*this);
  xmlNode_ = std::move(element);
}

TXmlElement TNodedInterface::GetXMLNode() {
  TNodeReadLock hold(*this);
  return xmlNode_;
}

void TNodedInterface::LoadFromXML(TXmlElement element, bool attach, bool readGUID) {
  TNodeWriteLock hold(*this);
  if (attach) xmlNode_ = element;
  LoadAttributes(element.Node(), readGUID);  // element holds its document meanwhile
}

void TNodedInterface::LoadAttributes(pugi::xml_node element, bool readGUID) {
  uXmlUtils::ReadXmlString(element, name_, "name");
  uVariant::TVariant enabled;
  uXmlUtils::ReadXmlAttribute(element, "enabled", uVariant::TVariant(true), enabled, false);
  try {
    enabled_ = enabled.ToBoolean();
  } catch (const uVariant::EVariantError&) {
    enabled_ = true;  // an unreadable flag keeps the node enabled rather than failing the load
  }
  if (readGUID || guidText_.empty()) {
    if (!uXmlUtils::ReadXmlString(element, guidText_, "GUID"))
      guidText_ = TGUID::NewGuid().ToString();
  }
}

void TNodedInterface::SaveToXML() {
  TNodeWriteLock hold(*this);
  if (xmlNode_) SaveAttributes(xmlNode_.Node());
}

void TNodedInterface::SaveAttributes(pugi::xml_node element) {
  uXmlUtils::WriteXmlString(element, "name", name_);
  uXmlUtils::WriteXmlString(element, "enabled", enabled_ ? "True" : "False");
  uXmlUtils::WriteXmlString(element, "GUID", guidText_);
}

int TNodedInterface::AssignXML(TXmlElement element) {
  LoadFromXML(std::move(element), true, false);
  return 0;
}

// ---- tree

TInterfacePtr<IInterface> TNodedInterface::GetParent() {
  std::lock_guard links(linkGuard_);
  return parent_;
}

TNodedPtr TNodedInterface::GetParentNoded() {
  return AsNode(GetParent().Get());
}

void TNodedInterface::SetParentNoded(INodedInterface* parent) {
  SetParent(parent);
}

TInterfaceList TNodedInterface::GetChildren() {
  std::lock_guard links(linkGuard_);
  return children_;
}

TNodedPtr TNodedInterface::GetChild(int index) {
  TInterfacePtr<IInterface> child;
  {
    std::lock_guard links(linkGuard_);
    if (index < 0 || index >= static_cast<int>(children_.size())) return nullptr;
    child = children_[static_cast<std::size_t>(index)];
  }
  return AsNode(child.Get());
}

int TNodedInterface::GetChildCount() {
  std::lock_guard links(linkGuard_);
  return static_cast<int>(children_.size());
}

int TNodedInterface::IndexOfChild(IInterface* child) {
  std::lock_guard links(linkGuard_);
  for (std::size_t i = 0; i < children_.size(); ++i)
    if (children_[i].Get() == Identity(child)) return static_cast<int>(i);
  return -1;
}

int TNodedInterface::AppendChild(IInterface* child) {
  std::lock_guard links(linkGuard_);
  children_.emplace_back(child);
  return static_cast<int>(children_.size()) - 1;
}

int TNodedInterface::EraseChild(IInterface* child, TInterfaceList& dropped) {
  std::lock_guard links(linkGuard_);
  for (std::size_t i = 0; i < children_.size(); ++i) {
    if (children_[i].Get() != Identity(child)) continue;
    dropped.push_back(std::move(children_[i]));
    children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(i));
    return static_cast<int>(i);
  }
  return -1;
}

TInterfacePtr<TNodedInterface> TNodedInterface::Relink(IInterface* parent,
                                                       TInterfaceList& dropped) {
  TInterfacePtr<IInterface> old;
  {
    std::lock_guard links(linkGuard_);
    old = std::exchange(parent_, TInterfacePtr<IInterface>(parent));
  }
  TInterfacePtr<TNodedInterface> former(AsTreeNode(old.Get()));
  dropped.push_back(std::move(old));
  if (former && former->EraseChild(this, dropped) >= 0) return former;
  return nullptr;
}

bool TNodedInterface::IsAncestorOf(const TNodedInterface* node) const {
  // The links cannot change: the caller holds the tree lock.
  for (const TNodedInterface* p = node; p;) {
    IInterface* up;
    {
      std::lock_guard links(p->linkGuard_);
      up = p->parent_.Get();
    }
    if (up == static_cast<const IInterface*>(this)) return true;
    p = AsTreeNode(up);
  }
  return false;
}

void TNodedInterface::SetParent(IInterface* parent) {
  TInterfaceList dropped;  // let go of last, when no lock is held
  TInterfacePtr<TNodedInterface> from, to;
  TNodedInterface* const node = AsTreeNode(parent);
  {
    std::lock_guard tree(gTreeMutex);
    {
      std::lock_guard links(linkGuard_);
      if (parent_.Get() == Identity(parent)) return;
    }
    if (node && (node == this || IsAncestorOf(node))) return;  // would close a loop
    from = Relink(parent, dropped);
    if (node && node->IndexOfChild(this) < 0) {
      node->AppendChild(this);
      to = node;
    }
  }
  if (from) from->DoDescendantRemoved(this, 0);
  SyncSubscription();
  if (to) to->DoDescendantAdded(this, 0);
}

int TNodedInterface::AddChild(IInterface* child) {
  if (!child) return -1;
  TInterfaceList dropped;
  TInterfacePtr<TNodedInterface> from;
  TNodedInterface* const node = AsTreeNode(child);
  int index;
  {
    std::lock_guard tree(gTreeMutex);
    if (IndexOfChild(child) >= 0) return -1;
    if (node && (node == this || node->IsAncestorOf(this))) return -1;  // would close a loop
    if (node) from = node->Relink(this, dropped);
    index = AppendChild(child);
  }
  if (!node) return index;
  if (from) from->DoDescendantRemoved(node, 0);
  node->SyncSubscription();
  DoDescendantAdded(node, 0);
  return index;
}

int TNodedInterface::RemoveChild(IInterface* child) {
  if (!child) return -1;
  TInterfaceList dropped;  // holds the child (and maybe this node) until the end
  TNodedInterface* const node = AsTreeNode(child);
  int index;
  {
    std::lock_guard tree(gTreeMutex);
    index = EraseChild(child, dropped);
    if (index < 0) return -1;
    if (node) {
      std::lock_guard links(node->linkGuard_);
      if (node->parent_.Get() == Identity(this)) dropped.push_back(std::move(node->parent_));
    }
  }
  if (node) {
    DoDescendantRemoved(node, 0);
    node->SyncSubscription();
  }
  return index;
}

int TNodedInterface::RemoveAllChildren() {
  int detached = 0;
  for (int passes = GetChildCount() + 1; passes > 0; --passes) {
    TInterfaceList dropped;
    TNodedInterface* node = nullptr;
    {
      std::lock_guard tree(gTreeMutex);
      std::lock_guard links(linkGuard_);
      // The last child that is a node; the others stay where they are.
      for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
        node = AsTreeNode(it->Get());
        if (!node) continue;
        dropped.push_back(std::move(*it));
        children_.erase(std::next(it).base());
        break;
      }
      if (node) {
        std::lock_guard childLinks(node->linkGuard_);
        if (node->parent_.Get() == Identity(this)) dropped.push_back(std::move(node->parent_));
      }
    }
    if (!node) break;
    DoDescendantRemoved(node, 0);
    node->SyncSubscription();
    ++detached;
  }
  return detached;
}

void TNodedInterface::SyncSubscription() {
  subscriptionStale_ = true;
  while (subscriptionStale_) {
    std::vector<TInterfacePtr<TNodedInterface>> dropped;  // let go of after the guard
    std::unique_lock hold(subscriptionGuard_, std::try_to_lock);
    if (!hold) return;  // its holder sees the flag and runs once more
    while (subscriptionStale_.exchange(false)) {
      TInterfacePtr<TNodedInterface> parent;
      {
        std::lock_guard links(linkGuard_);
        parent = AsTreeNode(parent_.Get());
      }
      if (parent == subscribedTo_) continue;
      if (subscribedTo_) {
        descendantAdded_->RemoveHandler(
            TDescentHandler(subscribedTo_.Get(), &TNodedInterface::DoDescendantAdded));
        descendantRemoved_->RemoveHandler(
            TDescentHandler(subscribedTo_.Get(), &TNodedInterface::DoDescendantRemoved));
      }
      if (parent) {
        descendantAdded_->AddHandler(
            TDescentHandler(parent.Get(), &TNodedInterface::DoDescendantAdded));
        descendantRemoved_->AddHandler(
            TDescentHandler(parent.Get(), &TNodedInterface::DoDescendantRemoved));
      }
      dropped.push_back(std::exchange(subscribedTo_, std::move(parent)));
    }
  }
}

int TNodedInterface::CountChildrenSupporting(const TGUID& iid, bool recursive) {
  int count = 0;
  for (const auto& child : GetChildren()) {
    if (recursive)
      if (TNodedPtr node = AsNode(child.Get())) count += node->CountChildrenSupporting(iid, true);
    if (uInterfaces::Supports(child.Get(), iid)) ++count;
  }
  return count;
}

bool TNodedInterface::FindByGUID(const std::string& guidText, TNodedPtr& found) {
  found.Reset();
  if (GetGUIDString() == guidText) {
    found = TNodedPtr(this);
    return true;
  }
  for (const auto& child : GetChildren())
    if (TNodedPtr node = AsNode(child.Get()); node && node->FindByGUID(guidText, found))
      return true;
  return false;
}

bool TNodedInterface::FindByName(const std::string& name, TNodedPtr& found) {
  found.Reset();
  if (GetName() == name) {
    found = TNodedPtr(this);
    return true;
  }
  for (const auto& child : GetChildren())
    if (TNodedPtr node = AsNode(child.Get()); node && node->FindByName(name, found)) return true;
  return false;
}

void TNodedInterface::Shutdown() {
  // The children are shut down from a snapshot, without holding this node's lock, so that
  // this node never waits for a child while the child waits for it.
  for (const auto& child : GetChildren())
    if (TNodedPtr node = AsNode(child.Get())) node->Shutdown();
  RemoveAllChildren();
}

// ---- process-wide state

std::shared_ptr<uEventer::Teventer_NodedInterface> NodeCreatedEventer() {
  auto eventer = LoadEventer(gNodeCreated);
  if (!eventer) throw uCI_Library::ECILibraryError();
  return eventer;
}

std::shared_ptr<uEventer::Teventer_NodedInterface> NodeDestroyedEventer() {
  auto eventer = LoadEventer(gNodeDestroyed);
  if (!eventer) throw uCI_Library::ECILibraryError();
  return eventer;
}

namespace detail {
void StartNodes() {
  gInstanceCounter = 1;
  auto created = std::make_shared<uEventer::Teventer_NodedInterface>();
  auto destroyed = std::make_shared<uEventer::Teventer_NodedInterface>();
  std::lock_guard lock(gNodeEventersMutex);
  gNodeCreated = std::move(created);
  gNodeDestroyed = std::move(destroyed);
}

void EndNodes() {
  std::shared_ptr<uEventer::Teventer_NodedInterface> created, destroyed;  // freed unlocked
  std::lock_guard lock(gNodeEventersMutex);
  created = std::move(gNodeCreated);
  destroyed = std::move(gNodeDestroyed);
}
}  // namespace detail

}  // namespace uNodedInterface
