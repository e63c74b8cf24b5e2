#include "ci/uCI_Wrapper.h"

#include <algorithm>
#include <array>

#include "ci/uConfigString.h"
#include "ci/uMyInterfacedObject.h"
#include "ci/uStrUtils.h"
#include "ci/uThreadUtils.h"

namespace uCI_Wrapper {

using uMyInterfacedObject::AnswerInterface;
using uNodedInterface::TNodeReadLock;
using uNodedInterface::TNodeWriteLock;

namespace {
std::mutex gFactoryMutex;
std::array<TProviderFactory, std::size(kProviderNames)> gFactories;

int ProviderIndex(const std::string& name) {
  for (std::size_t i = 0; i < std::size(kProviderNames); ++i)
    if (name == kProviderNames[i]) return static_cast<int>(i);
  return -1;
}

TProviderPtr CreateProvider(const std::string& name) {
  const int index = ProviderIndex(name);
  if (index < 0) return nullptr;
  TProviderFactory factory;
  {
    std::lock_guard lock(gFactoryMutex);
    factory = gFactories[static_cast<std::size_t>(index)];
  }
  return factory ? factory() : nullptr;
}

std::string CarriageReturnsToSemicolons(std::string config) {
  std::replace(config.begin(), config.end(), '\r', ';');
  return config;
}
}  // namespace

bool SetProviderFactory(const std::string& name, TProviderFactory factory) {
  const int index = ProviderIndex(name);
  if (index < 0) return false;
  std::lock_guard lock(gFactoryMutex);
  gFactories[static_cast<std::size_t>(index)] = std::move(factory);
  return true;
}

TProviderFactory GetProviderFactory(const std::string& name) {
  const int index = ProviderIndex(name);
  if (index < 0) return {};
  std::lock_guard lock(gFactoryMutex);
  return gFactories[static_cast<std::size_t>(index)];
}

// ---- TCommunicationWrapperInterface

TCommunicationWrapperInterface::TCommunicationWrapperInterface(const std::string& config)
    : TCommunicationInterfaceDataSpy(CarriageReturnsToSemicolons(config)),
      receiveThread_(std::make_unique<uDispatcher::TDispatcherThread>()) {}

TCommunicationWrapperInterface::~TCommunicationWrapperInterface() {
  TProviderPtr provider;
  {
    TNodeWriteLock hold(*this);
    std::lock_guard lock(providerMutex_);
    provider = std::move(provider_);
  }
  if (provider) {
    provider->Close(true);
    Disconnect(provider);
    provider.Reset();
  }
  receiveThread_->Queue().Clear();
  if (!receiveThread_->Worker().IsCurrentThread()) {
    // Ends the thread and waits for the event it may still be running, which may use this
    // object: it goes only after that.
    receiveThread_.reset();
    return;
  }
  // Released on the receive thread itself (the last reference dropped in one of its events),
  // which cannot wait for its own end: the object destroyer ends and frees it.
  if (!uDispatcher::TryDestroyLater(std::move(receiveThread_))) {
    // The library has ended: nothing can join the thread any more. It stops after this
    // event, and the thread object is left behind rather than freed under its own loop.
    receiveThread_->Worker().Terminate();
    (void)receiveThread_.release();
  }
}

uInterfaces::HRESULT TCommunicationWrapperInterface::QueryInterface(const uInterfaces::TGUID& iid,
                                                                    void** object) {
  if (iid == ICommunicationWrapperInterface::IID)
    return AnswerInterface<ICommunicationWrapperInterface>(this, object);
  return TCommunicationInterfaceDataSpy::QueryInterface(iid, object);
}

TProviderPtr TCommunicationWrapperInterface::GetProvider() {
  std::lock_guard lock(providerMutex_);
  return provider_;
}

void TCommunicationWrapperInterface::Disconnect(const TProviderPtr& provider) {
  provider->GetOnReadString().Clear(true);
  provider->GetOnError().Clear(true);
}

// Without the channel's lock: a Query holds it exclusively for its whole exchange, and a
// caller that only asks whether the channel is open (the bridge, before each request) would
// otherwise wait for that exchange and lose its place among the callers queued for the lock.
// The provider answers under a lock of its own.
bool TCommunicationWrapperInterface::IsOpen() {
  const TProviderPtr provider = GetProvider();
  return provider && provider->IsOpen();
}

std::string TCommunicationWrapperInterface::GetConfiguration() {
  TNodeReadLock hold(*this);
  const TProviderPtr provider = GetProvider();
  return provider ? provider->GetConfiguration() : std::string();
}

std::string TCommunicationWrapperInterface::GetAddress() {
  TNodeReadLock hold(*this);
  const TProviderPtr provider = GetProvider();
  return provider ? provider->GetAddress() : std::string();
}

std::int32_t TCommunicationWrapperInterface::GetInputCount() {
  TNodeReadLock hold(*this);
  const TProviderPtr provider = GetProvider();
  return provider ? provider->GetInputCount() : 0;
}

void TCommunicationWrapperInterface::ClearInput() {
  TNodeWriteLock hold(*this);
  if (const TProviderPtr provider = GetProvider()) provider->ClearInput();
}

void TCommunicationWrapperInterface::ClearOutput() {
  TNodeWriteLock hold(*this);
  if (const TProviderPtr provider = GetProvider()) provider->ClearOutput();
}

std::string TCommunicationWrapperInterface::GetDescription() {
  TNodeReadLock hold(*this);
  const TProviderPtr provider = GetProvider();
  return provider ? "WrapperCI: " + provider->GetAddress() : std::string("WrapperCI: Empty");
}

bool TCommunicationWrapperInterface::InternalOpen() {
  TNodeWriteLock hold(*this);
  const TProviderPtr provider = GetProvider();
  return provider && provider->Open();
}

bool TCommunicationWrapperInterface::InternalClose(bool /*force*/) {
  TNodeWriteLock hold(*this);
  const TProviderPtr provider = GetProvider();
  return provider && provider->Close(false);  // an ordinary close, whatever force says
}

std::int32_t TCommunicationWrapperInterface::InternalWriteString(const std::string& data) {
  TNodeWriteLock hold(*this);
  const TProviderPtr provider = GetProvider();
  return provider ? provider->WriteString(data) : 0;
}

std::string TCommunicationWrapperInterface::InternalReadString() {
  TNodeWriteLock hold(*this);
  const TProviderPtr provider = GetProvider();
  return provider ? provider->ReadString() : std::string();
}

bool TCommunicationWrapperInterface::InternalSetConfiguration(const std::string& config) {
  TNodeWriteLock hold(*this);
  std::string name;
  if (!uConfigString::GetConfigString(config, "provider", name)) name.clear();
  TProviderPtr provider = GetProvider();
  if (!provider || provider->GetProviderName() != name) {
    if (provider) {
      provider->Close(false);
      Disconnect(provider);
    }
    TProviderPtr created = CreateProvider(name);
    {
      std::lock_guard lock(providerMutex_);
      provider_ = created;
    }
    provider = std::move(created);  // the previous provider goes with this reference
  }
  SetConfigured(static_cast<bool>(provider));
  if (!provider) return false;
  provider->SetConfiguration(config);
  // Keyed by handler: a kept provider's slots are updated, not doubled. No owner, so the
  // provider's slots never keep the wrapper alive.
  provider->GetOnReadString().Connect({this, &TCommunicationWrapperInterface::OnProviderData},
                                      nullptr, &receiveThread_->Queue());
  provider->GetOnError().Connect({this, &TCommunicationWrapperInterface::OnProviderError}, nullptr,
                                 &receiveThread_->Queue());
  return true;
}

void TCommunicationWrapperInterface::Shutdown() {
  InternalClose(true);
  TCommunicationInterfaceDataSpy::Shutdown();
}

void TCommunicationWrapperInterface::OnProviderData(
    uCI_CommunicationInterfaceUtils::ICommunicationInterface* /*sender*/,
    const std::string& /*text*/) {
  // Held for the handler's duration; dropping it may free the wrapper on this thread.
  const uInterfaces::TInterfacePtr<uInterfaces::IInterface> keep(
      static_cast<ICommunicationWrapperInterface*>(this));
  uThreadUtils::SetCurrentThreadName(kReceiveThreadName);
  DoDataRcv();
}

void TCommunicationWrapperInterface::OnProviderError(
    uCI_CommunicationInterfaceUtils::ICommunicationInterface* /*sender*/,
    const std::string& methodName, const std::vector<std::string>& args, std::int32_t errorCode) {
  const uInterfaces::TInterfacePtr<uInterfaces::IInterface> keep(
      static_cast<ICommunicationWrapperInterface*>(this));
  DoError(methodName, args, errorCode);
}

// ---- TWxCommunicationWrapperInterface

void TProcessMsgList::Add(TReceiver receiver, std::uint32_t message) {
  std::lock_guard lock(mutex_);
  entries_.push_back({std::move(receiver), message});
}

void TProcessMsgList::NotifyWindows(uInterfaces::IInterface* sender, std::uintptr_t lParam) {
  std::lock_guard lock(mutex_);
  for (const TEntry& entry : entries_)
    if (entry.receiver) entry.receiver(entry.message, sender, lParam);
}

uInterfaces::HRESULT TWxCommunicationWrapperInterface::QueryInterface(const uInterfaces::TGUID& iid,
                                                                      void** object) {
  if (iid == IWxProcess::IID) return AnswerInterface<IWxProcess>(this, object);
  if (iid == IWxMarker::IID) return AnswerInterface<IWxMarker>(this, object);
  if (iid == kWxWrapperIID) return AnswerInterface<ICommunicationWrapperInterface>(this, object);
  return TCommunicationWrapperInterface::QueryInterface(iid, object);
}

TProcessMsgList& TWxCommunicationWrapperInterface::GetProcessMsgList() {
  std::lock_guard lock(listMutex_);
  if (!processMsgList_) processMsgList_ = std::make_unique<TProcessMsgList>();
  return *processMsgList_;
}

std::int32_t TWxCommunicationWrapperInterface::Process() {
  if (!GetEnabled() || IsOpen() || !reconnectTimer_.IsExpiredAfter(kProcessIntervalMs))
    return kProcessIntervalMs;
  TProcessMsgList* list;
  {
    std::lock_guard lock(listMutex_);
    list = processMsgList_.get();
  }
  auto* self = static_cast<IWxProcess*>(this);
  if (list) list->NotifyWindows(self, kNotifyBeforeReconnect);
  Open();
  if (list) list->NotifyWindows(self, kNotifyAfterReconnect);
  reconnectTimer_.Restart();
  return kProcessIntervalMs;
}

// ---- registries

namespace {
struct TRegistryEntry {
  std::string name;
  TChannelClass channelClass;
};
std::mutex gRegistryMutex;
std::vector<TRegistryEntry> gProviderNames;
std::vector<TRegistryEntry> gClasses;
std::uint32_t gWxProcessMessage = 0;

bool SameName(const std::string& a, const std::string& b) {
  return uStrUtils::EqualsIgnoreAsciiCase(a, b);
}

bool RemoveFirst(std::vector<TRegistryEntry>& table, const std::string& name) {
  for (auto it = table.begin(); it != table.end(); ++it) {
    if (SameName(it->name, name)) {
      table.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<TChannelClass> FindAll(const std::vector<TRegistryEntry>& table,
                                   const std::string& name) {
  std::vector<TChannelClass> found;
  for (const auto& entry : table)
    if (SameName(entry.name, name)) found.push_back(entry.channelClass);
  return found;
}

template <class T>
TChannelClass ClassOf(const char* className) {
  return {className, [](const std::string& config) -> uci_ICommunicationInterface::TChannelPtr {
            return uMyInterfacedObject::Create<T>(config);
          }};
}
}  // namespace

bool RegisterProviderName(const TChannelClass& channelClass, const std::string& name) {
  std::lock_guard lock(gRegistryMutex);
  gProviderNames.push_back({name, channelClass});
  return true;
}

bool UnregisterProviderName(const std::string& name) {
  std::lock_guard lock(gRegistryMutex);
  return RemoveFirst(gProviderNames, name);
}

std::vector<TChannelClass> FindProviderName(const std::string& name) {
  std::lock_guard lock(gRegistryMutex);
  return FindAll(gProviderNames, name);
}

void RegisterClassByName(const TChannelClass& channelClass) {
  std::lock_guard lock(gRegistryMutex);
  gClasses.push_back({channelClass.ClassName, channelClass});
}

void UnregisterClassByName(const TChannelClass& channelClass) {
  std::lock_guard lock(gRegistryMutex);
  RemoveFirst(gClasses, channelClass.ClassName);
}

std::vector<TChannelClass> FindClassByName(const std::string& className) {
  std::lock_guard lock(gRegistryMutex);
  return FindAll(gClasses, className);
}

TChannelClass WrapperClass() {
  return ClassOf<TCommunicationWrapperInterface>("TCommunicationWrapperInterface");
}

TChannelClass WxWrapperClass() {
  return ClassOf<TWxCommunicationWrapperInterface>("TWxCommunicationWrapperInterface");
}

std::uint32_t WxProcessMessage() {
  std::lock_guard lock(gRegistryMutex);
  return gWxProcessMessage;
}

namespace detail {
void StartRegistries() {
  for (const char* name : kProviderNames) UnregisterProviderName(name);
  for (const char* name : kProviderNames) RegisterProviderName(WrapperClass(), name);
  RegisterClassByName(WxWrapperClass());
  std::lock_guard lock(gRegistryMutex);
  // Registered window messages take ids from 0xC000 up; this system registers one.
  gWxProcessMessage = 0xC000;
}

void EndRegistries() {
  for (const char* name : kProviderNames) UnregisterProviderName(name);
  UnregisterClassByName(WxWrapperClass());
}
}  // namespace detail

}  // namespace uCI_Wrapper
