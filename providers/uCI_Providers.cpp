#include "providers/uCI_Providers.h"

#include "ci/uCI_Wrapper.h"
#include "ci/uMyInterfacedObject.h"
#include "providers/uCI_HIDInterface.h"
#include "providers/uCI_SerialPortInterface.h"
#include "providers/uCI_TCPClientInterface.h"
#include "providers/uCI_UDPClientInterface.h"
#include "providers/uHidLinux.h"

namespace uCI_Providers {

TProvidersScope::TProvidersScope(const THidBackends& backends) {
  uHidPlatform::SetBackendFactory([backends] {
    std::vector<std::shared_ptr<uHidPlatform::IHidBackend>> list;
    if (backends.Linux) list.push_back(std::make_shared<uHidLinux::TLinuxHidBackend>());
    if (backends.Simulated) list.push_back(backends.Simulated);
    return list;
  });
  uCI_Wrapper::SetProviderFactory("HID", []() -> uCI_Wrapper::TProviderPtr {
    return uMyInterfacedObject::Create<uCI_HIDInterface::TCommunicationHIDInterface>();
  });
  uCI_Wrapper::SetProviderFactory("SERIAL_PORT", []() -> uCI_Wrapper::TProviderPtr {
    return uMyInterfacedObject::Create<
        uCI_SerialPortInterface::TCommunicationSerialPortInterface>();
  });
  uCI_Wrapper::SetProviderFactory("TCP_CLIENT", []() -> uCI_Wrapper::TProviderPtr {
    return uMyInterfacedObject::Create<uCI_TCPClientInterface::TCommunicationTCPClientInterface>();
  });
  uCI_Wrapper::SetProviderFactory("UDP_CLIENT", []() -> uCI_Wrapper::TProviderPtr {
    return uMyInterfacedObject::Create<uCI_UDPClientInterface::TCommunicationUDPClientInterface>();
  });
}

TProvidersScope::~TProvidersScope() {
  uCI_Wrapper::SetProviderFactory("UDP_CLIENT", {});
  uCI_Wrapper::SetProviderFactory("TCP_CLIENT", {});
  uCI_Wrapper::SetProviderFactory("SERIAL_PORT", {});
  uCI_Wrapper::SetProviderFactory("HID", {});
  uHidPlatform::SetBackendFactory({});
}

}  // namespace uCI_Providers
