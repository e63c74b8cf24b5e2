#pragma once
// Named, reference-counted tree nodes: an instance number, a name, a GUID, an enabled flag, a
// parent and ordered children, descendant notifications climbing the tree, a re-entrant
// reader/writer lock and persistence to the attributes of an XML element.
//
// A parent holds its children and each child its parent by counted reference, so a tree is
// freed only after Shutdown (or RemoveAllChildren) has taken it apart. The tree's nodes are
// TNodedInterface objects; other objects may be children but have no parent link.
//
// Tree changes (AddChild, RemoveChild, SetParent, RemoveAllChildren) are atomic for a parent
// and a child: one process-wide tree lock orders them, and under it each node's links (its
// parent, its children) change under the node's own link guard, which nothing else is taken
// under. So a child is in its parent's list exactly when its parent link names that parent,
// and, once the changes are done, the parent's handlers are on the child's descendant
// eventers exactly then. The node locks (BeginWrite, ...) are not taken by tree changes, and
// the descendant events are raised after the tree lock is let go. A node cannot become its
// own ancestor: such a change is refused (-1, or nothing for SetParent).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "ci/uEventer.h"
#include "ci/uInterfaces.h"
#include "ci/uMyInterfacedObject.h"
#include "ci/uSynchronizer.h"
#include "ci/uXmlUtils.h"

namespace uNodedInterface {

using uInterfaces::IInterface;
using uInterfaces::TGUID;
using uInterfaces::TInterfacePtr;
using uXmlUtils::TXmlElement;

class INodedInterface;
using TNodedPtr = TInterfacePtr<INodedInterface>;
using TInterfaceList = std::vector<TInterfacePtr<IInterface>>;

class INodedInterfaceCore : public virtual IInterface {
 public:
  static constexpr TGUID IID{"{DD03F488-8A5F-4757-98C3-8C2F2F38BEF4}"};

  virtual std::uint32_t GetInstanceNumber() = 0;
  virtual std::string GetName() = 0;
  // Also writes the attribute "name" when an XML element is attached.
  virtual void SetName(const std::string& name) = 0;
  // Raises std::invalid_argument when the GUID text is empty or malformed.
  virtual TGUID GetGUID() = 0;
  virtual std::string GetGUIDString() = 0;
  virtual bool GetEnabled() = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual void BeginWrite() = 0;
  virtual void EndWrite() = 0;
  virtual void BeginRead() = 0;
  virtual void EndRead() = 0;
  // Raise DescendantAdded / DescendantRemoved with (node, level + 1), when they exist.
  virtual void DoDescendantAdded(INodedInterface* node, std::int32_t level) = 0;
  virtual void DoDescendantRemoved(INodedInterface* node, std::int32_t level) = 0;

 protected:
  ~INodedInterfaceCore() = default;
};

class INodedInterface : public INodedInterfaceCore {
 public:
  static constexpr TGUID IID{"{932E676F-ACE9-4CE9-BDEB-60D2688BA949}"};

  // The element handles share their document, so a node keeps the document it persists to.
  virtual void SetXMLNode(TXmlElement element) = 0;
  virtual void LoadFromXML(TXmlElement element, bool attach, bool readGUID) = 0;
  virtual void SaveToXML() = 0;
  virtual TXmlElement GetXMLNode() = 0;
  virtual int AssignXML(TXmlElement element) = 0;
  virtual TInterfacePtr<IInterface> GetParent() = 0;
  virtual void SetParent(IInterface* parent) = 0;
  virtual TNodedPtr GetParentNoded() = 0;
  virtual void SetParentNoded(INodedInterface* parent) = 0;
  // A snapshot of the children.
  virtual TInterfaceList GetChildren() = 0;
  // nullptr when index is out of range or the child is not a node.
  virtual TNodedPtr GetChild(int index) = 0;
  virtual int GetChildCount() = 0;
  // Index of the new child; -1 when child is null or already present.
  virtual int AddChild(IInterface* child) = 0;
  // Former index; -1 when absent.
  virtual int RemoveChild(IInterface* child) = 0;
  // Detaches the children that are nodes, in at most count + 1 passes (count taken at the
  // start, so children added meanwhile cannot keep it going); returns how many.
  virtual int RemoveAllChildren() = 0;
  virtual int CountChildrenSupporting(const TGUID& iid, bool recursive) = 0;
  // Depth-first over this node and its descendants, exact (case-sensitive) comparison.
  virtual bool FindByGUID(const std::string& guidText, TNodedPtr& found) = 0;
  virtual bool FindByName(const std::string& name, TNodedPtr& found) = 0;
  virtual int IndexOfChild(IInterface* child) = 0;
  virtual uEventer::TeventerDescentEvent& GetDescendantAddedEventer() = 0;
  virtual uEventer::TeventerDescentEvent& GetDescendantRemovedEventer() = 0;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  // Shuts the children down, then detaches them.
  virtual void Shutdown() = 0;

 protected:
  ~INodedInterface() = default;
};

// Scoped holds on a node's lock, for code that must release on every path.
using TNodeWriteLock =
    uSynchronizer::TScopedHold<INodedInterfaceCore, uSynchronizer::THoldKind::Write>;
using TNodeReadLock =
    uSynchronizer::TScopedHold<INodedInterfaceCore, uSynchronizer::THoldKind::Read>;

class TNodedInterface : public uMyInterfacedObject::TMyInterfacedObject, public INodedInterface {
 public:
  // Node construction with an optional element to load from and an optional parent.
  // Create objects with uMyInterfacedObject::Create<T>(...).
  explicit TNodedInterface(TXmlElement element = {}, IInterface* parent = nullptr);
  ~TNodedInterface() override;

  uInterfaces::HRESULT QueryInterface(const TGUID& iid, void** object) override;

  // The class name a node is called by default; subclasses return their own.
  virtual std::string ClassName() const { return "TNodedInterface"; }

  std::uint32_t GetInstanceNumber() override { return instanceNumber_; }
  std::string GetName() override;
  void SetName(const std::string& name) override;
  TGUID GetGUID() override;
  std::string GetGUIDString() override;
  bool GetEnabled() override;
  void SetEnabled(bool enabled) override;
  void BeginWrite() override;
  void EndWrite() override;
  void BeginRead() override;
  void EndRead() override;
  void DoDescendantAdded(INodedInterface* node, std::int32_t level) override;
  void DoDescendantRemoved(INodedInterface* node, std::int32_t level) override;

  void SetXMLNode(TXmlElement element) override;
  void LoadFromXML(TXmlElement element, bool attach, bool readGUID) override;
  void SaveToXML() override;
  TXmlElement GetXMLNode() override;
  int AssignXML(TXmlElement element) override;
  TInterfacePtr<IInterface> GetParent() override;
  void SetParent(IInterface* parent) override;
  TNodedPtr GetParentNoded() override;
  void SetParentNoded(INodedInterface* parent) override;
  TInterfaceList GetChildren() override;
  TNodedPtr GetChild(int index) override;
  int GetChildCount() override;
  int AddChild(IInterface* child) override;
  int RemoveChild(IInterface* child) override;
  int RemoveAllChildren() override;
  int CountChildrenSupporting(const TGUID& iid, bool recursive) override;
  bool FindByGUID(const std::string& guidText, TNodedPtr& found) override;
  bool FindByName(const std::string& name, TNodedPtr& found) override;
  int IndexOfChild(IInterface* child) override;
  uEventer::TeventerDescentEvent& GetDescendantAddedEventer() override;
  uEventer::TeventerDescentEvent& GetDescendantRemovedEventer() override;
  void Lock() override { BeginWrite(); }
  void Unlock() override { EndWrite(); }
  void Shutdown() override;

 protected:
  // Runs the construction steps that need virtual dispatch (name, loading, parent, the
  // node-created event); Create calls it once the most derived constructor has run.
  void AfterConstruction() override;
  // The node-destroyed event, raised before any destructor runs.
  void BeforeDestruction() override;
  // Loads this node's own attributes; subclasses extend it and call the base first.
  virtual void LoadAttributes(pugi::xml_node element, bool readGUID);
  virtual void SaveAttributes(pugi::xml_node element);

  // What the constructor was given, applied by AfterConstruction.
  TXmlElement initialElement_;
  TInterfacePtr<IInterface> initialParent_;

 private:
  // Link changes; the caller holds the tree lock. References that may be the last ones go
  // to dropped, to be let go of once no lock is held.
  int AppendChild(IInterface* child);
  int EraseChild(IInterface* child, TInterfaceList& dropped);
  // Makes parent this node's parent and takes it out of its former parent's list; returns
  // that former parent when it is a node.
  TInterfacePtr<TNodedInterface> Relink(IInterface* parent, TInterfaceList& dropped);
  bool IsAncestorOf(const TNodedInterface* node) const;
  // Puts the parent's descendant handlers on this node's eventers (and takes a former
  // parent's off). Never waits for another thread doing the same for this node: that one
  // runs again instead.
  void SyncSubscription();

  const std::uint32_t instanceNumber_;
  uSynchronizer::TMultiReadExclusiveWriteSynchronizer lock_;
  bool enabled_ = true;
  TXmlElement xmlNode_;
  std::string name_;
  std::string guidText_;
  mutable std::mutex linkGuard_;  // parent_ and children_
  TInterfacePtr<IInterface> parent_;
  TInterfaceList children_;
  std::unique_ptr<uEventer::TeventerDescentEvent> descendantAdded_;
  std::unique_ptr<uEventer::TeventerDescentEvent> descendantRemoved_;
  std::mutex subscriptionGuard_;
  std::atomic<bool> subscriptionStale_{false};
  TInterfacePtr<TNodedInterface> subscribedTo_;  // whose handlers are on the eventers above
};

// Process-wide eventers raised when a node has been created and when one starts to be
// destroyed. Outside the library scope they are refused with uCI_Library::ECILibraryError
// (nodes are still made and freed then, unannounced); one in hand stays valid until it is
// let go of.
std::shared_ptr<uEventer::Teventer_NodedInterface> NodeCreatedEventer();
std::shared_ptr<uEventer::Teventer_NodedInterface> NodeDestroyedEventer();

namespace detail {
// Called by the library scope: resets the instance counter to 1 and creates the eventers,
// or lets go of them (a raise in progress keeps its eventer until it ends).
void StartNodes();
void EndNodes();
}  // namespace detail

}  // namespace uNodedInterface
