#include "ci/uNodedInterface.h"

#include <atomic>
#include <stdexcept>

#include "ci/uXmlUtils.h"

namespace uNodedInterface {

using uInterfaces::HRESULT;

namespace {
std::atomic<std::uint32_t> gInstanceCounter{1};
std::unique_ptr<uEventer::Teventer_NodedInterface> gNodeCreated;
std::unique_ptr<uEventer::Teventer_NodedInterface> gNodeDestroyed;

// The object's identity: its one IInterface subobject.
IInterface* Identity(IInterface* p) {
  return p;
}

TNodedPtr AsNode(IInterface* p) {
  TNodedPtr node;
  uInterfaces::Supports(p, node);
  return node;
}

}  // namespace

TNodedInterface::TNodedInterface(pugi::xml_node element, IInterface* parent)
    : initialElement_(element),
      initialParent_(parent),
      instanceNumber_(++gInstanceCounter),
      // Created here rather than on first use: DoDescendantAdded/Removed read them from
      // whichever thread changes the subtree, without this node's lock.
      descendantAdded_(std::make_unique<uEventer::TeventerDescentEvent>()),
      descendantRemoved_(std::make_unique<uEventer::TeventerDescentEvent>()) {
  xmlNode_ = element;
}

TNodedInterface::~TNodedInterface() {
  RemoveAllChildren();
}

void TNodedInterface::AfterConstruction() {
  TMyInterfacedObject::AfterConstruction();
  {
    TNodeWriteLock hold(*this);
    if (name_.empty()) name_ = ClassName();
  }
  // Loaded before joining the parent, so the parent's descendant handlers see the node's
  // name and GUID.
  LoadFromXML(initialElement_, true, false);
  SetParent(initialParent_.Get());
  initialParent_.Reset();
  if (gNodeCreated) gNodeCreated->Raise(this);
}

void TNodedInterface::BeforeDestruction() {
  if (gNodeDestroyed) gNodeDestroyed->Raise(this);
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
  if (xmlNode_) {
    pugi::xml_attribute a = xmlNode_.attribute("name");
    if (!a) a = xmlNode_.append_attribute("name");
    a.set_value(name_.c_str());
  }
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

void TNodedInterface::SetXMLNode(pugi::xml_node element) {
  TNodeWriteLock hold(*this);
  xmlNode_ = element;
}

pugi::xml_node TNodedInterface::GetXMLNode() {
  TNodeReadLock hold(*this);
  return xmlNode_;
}

void TNodedInterface::LoadFromXML(pugi::xml_node element, bool attach, bool readGUID) {
  TNodeWriteLock hold(*this);
  if (attach) xmlNode_ = element;
  LoadAttributes(element, readGUID);
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
  if (xmlNode_) SaveAttributes(xmlNode_);
}

void TNodedInterface::SaveAttributes(pugi::xml_node element) {
  auto set = [&](const char* name, const char* value) {
    pugi::xml_attribute a = element.attribute(name);
    if (!a) a = element.append_attribute(name);
    a.set_value(value);
  };
  set("name", name_.c_str());
  set("enabled", enabled_ ? "True" : "False");
  set("GUID", guidText_.c_str());
}

int TNodedInterface::AssignXML(pugi::xml_node element) {
  LoadFromXML(element, true, false);
  return 0;
}

// ---- tree

TInterfacePtr<IInterface> TNodedInterface::GetParent() {
  TNodeReadLock hold(*this);
  return parent_;
}

TNodedPtr TNodedInterface::GetParentNoded() {
  return AsNode(GetParent().Get());
}

void TNodedInterface::SetParentNoded(INodedInterface* parent) {
  SetParent(parent);
}

void TNodedInterface::SetParent(IInterface* parent) {
  TInterfacePtr<IInterface> keep(this);  // the old parent may hold the last other reference
  TInterfacePtr<IInterface> oldParent;
  {
    TNodeWriteLock hold(*this);
    if (Identity(parent) == parent_.Get()) return;
    oldParent = parent_;
    parent_ = parent;
  }
  // The other node's lock is taken after this one's is released, so parent and child
  // never wait for each other in opposite orders.
  if (TNodedPtr old = AsNode(oldParent.Get())) old->RemoveChild(this);
  if (TNodedPtr now = AsNode(parent)) now->AddChild(this);
}

TInterfaceList TNodedInterface::GetChildren() {
  TNodeReadLock hold(*this);
  return children_;
}

TNodedPtr TNodedInterface::GetChild(int index) {
  TNodeReadLock hold(*this);
  if (index < 0 || index >= static_cast<int>(children_.size())) return nullptr;
  return AsNode(children_[static_cast<std::size_t>(index)].Get());
}

int TNodedInterface::GetChildCount() {
  TNodeReadLock hold(*this);
  return static_cast<int>(children_.size());
}

int TNodedInterface::IndexOfChild(IInterface* child) {
  TNodeReadLock hold(*this);
  for (std::size_t i = 0; i < children_.size(); ++i)
    if (children_[i].Get() == Identity(child)) return static_cast<int>(i);
  return -1;
}

int TNodedInterface::AddChild(IInterface* child) {
  if (!child) return -1;
  int index = -1;
  {
    TNodeWriteLock hold(*this);
    if (IndexOfChild(child) >= 0) return -1;
    children_.emplace_back(child);
    index = static_cast<int>(children_.size()) - 1;
  }
  if (TNodedPtr node = AsNode(child)) {
    node->BeginWrite();
    try {
      TNodedPtr childParent = node->GetParentNoded();
      if (!childParent || Identity(childParent.Get()) != Identity(this)) node->SetParent(this);
      node->GetDescendantAddedEventer().AddHandler({this, &TNodedInterface::DoDescendantAdded});
      node->GetDescendantRemovedEventer().AddHandler({this, &TNodedInterface::DoDescendantRemoved});
      DoDescendantAdded(node.Get(), 0);
    } catch (...) {
      node->EndWrite();
      throw;
    }
    node->EndWrite();
  }
  return index;
}

int TNodedInterface::RemoveChild(IInterface* child) {
  if (!child) return -1;
  TInterfacePtr<IInterface> removed;
  int index = -1;
  {
    TNodeWriteLock hold(*this);
    index = IndexOfChild(child);
    if (index < 0) return -1;
    removed = children_[static_cast<std::size_t>(index)];
    children_.erase(children_.begin() + index);
  }
  if (TNodedPtr node = AsNode(removed.Get())) {
    DoDescendantRemoved(node.Get(), 0);
    TNodedPtr childParent = node->GetParentNoded();
    if (childParent && Identity(childParent.Get()) == Identity(this)) node->SetParent(nullptr);
    node->GetDescendantAddedEventer().RemoveHandler({this, &TNodedInterface::DoDescendantAdded});
    node->GetDescendantRemovedEventer().RemoveHandler(
        {this, &TNodedInterface::DoDescendantRemoved});
  }
  return index;
}

int TNodedInterface::RemoveAllChildren() {
  int detached = 0;
  TInterfaceList keep;  // children that are not nodes stay
  for (;;) {
    TInterfacePtr<IInterface> last;
    {
      TNodeWriteLock hold(*this);
      if (children_.empty()) break;
      last = children_.back();
      if (!AsNode(last.Get())) {
        keep.insert(keep.begin(), last);
        children_.pop_back();
        continue;
      }
    }
    const TNodedPtr node = AsNode(last.Get());
    const TNodedPtr childParent = node->GetParentNoded();
    if (childParent && Identity(childParent.Get()) == Identity(this))
      node->SetParent(nullptr);  // removes it from this node
    else
      RemoveChild(last.Get());
    ++detached;
  }
  if (!keep.empty()) {
    TNodeWriteLock hold(*this);
    children_.insert(children_.begin(), keep.begin(), keep.end());
  }
  return detached;
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

uEventer::Teventer_NodedInterface* NodeCreatedEventer() noexcept {
  return gNodeCreated.get();
}
uEventer::Teventer_NodedInterface* NodeDestroyedEventer() noexcept {
  return gNodeDestroyed.get();
}

namespace detail {
void StartNodes() {
  gInstanceCounter = 1;
  gNodeCreated = std::make_unique<uEventer::Teventer_NodedInterface>();
  gNodeDestroyed = std::make_unique<uEventer::Teventer_NodedInterface>();
}

void EndNodes() {
  gNodeDestroyed.reset();
  gNodeCreated.reset();
}
}  // namespace detail

}  // namespace uNodedInterface
