#pragma once
// The data spy: one process-wide hook that sees every text a spying channel writes to its
// device (direction 1) or reads from it (direction 2), and the forwarder that sends that
// traffic to an external terminal program.
//
// Terminal transport: the terminal listens on a Unix-domain stream socket named
// TfMainBrisanTerm in a private directory: $XDG_RUNTIME_DIR, or without it
// /tmp/TfMainBrisanTerm-UID (UID the user's numeric id). The directory must belong to the user
// and be closed to everybody else (mode 0700, not a symbolic link); otherwise nothing is sent,
// since the traffic holds PINs and passwords. For each text the forwarder connects, sends a
// 4-byte little-endian length N followed by N payload bytes (the direction byte, then the
// text, no terminator), and waits for one acknowledgement byte before it closes the
// connection. No listener: nothing is sent and the call returns at once. Connecting, sending
// and the acknowledgement are each given up on after kTerminalAckTimeoutMs.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ci/uMethod.h"
#include "ci/uci_ICommunicationInterface.h"

namespace uCI_DataSpy {

inline constexpr std::uint8_t kDirectionWritten = 1;
inline constexpr std::uint8_t kDirectionRead = 2;
inline constexpr const char* kTerminalWindowClass = "TfMainBrisanTerm";
inline constexpr int kTerminalAckTimeoutMs = 1000;
inline constexpr const char* kTerminalFallbackDirPrefix = "/tmp/TfMainBrisanTerm-";

using TDataSpyHook =
    uMethod::TMethod<void(uci_ICommunicationInterface::ICommunicationInterface* channel,
                          const std::string& text, std::uint8_t direction)>;

// Installs the hook (an unassigned method removes it). Once it returns, no call still reaches
// the previous hook, so an object may remove itself and then be freed. A hook may call it
// from inside its own call: the calls the calling thread is inside are not waited for (nor
// those of other threads doing the same), as they cannot end before it returns.
void SetOnDataSpy(const TDataSpyHook& hook);
TDataSpyHook GetOnDataSpy();
// Calls the hook, when one is installed; its exceptions are swallowed. Safe from any thread.
void CallDataSpy(uci_ICommunicationInterface::ICommunicationInterface* channel,
                 const std::string& text, std::uint8_t direction);

// The forwarder, installable as the hook.
void ForwardToTerminal(uci_ICommunicationInterface::ICommunicationInterface* channel,
                       const std::string& text, std::uint8_t direction);
TDataSpyHook DefaultForwarder();
// Where the forwarder looks for the terminal: the directory and the socket in it.
std::string TerminalSocketDirectory();
std::string TerminalSocketPath();
// True for a directory (not a link to one) owned by the effective user with no access for
// group or others.
bool IsPrivateDirectory(const std::string& path);

// True when an argument, trimmed of codes 0-32 and one leading '/' or '-', is "DST" in any
// letter case.
bool IsDataSpySwitch(std::string_view argument);
// The process's own command line, program path first (from /proc/self/cmdline).
std::vector<std::string> ProcessArguments();

namespace detail {
// Library start: the hook stays unassigned unless an argument is the DST switch, which
// installs the forwarder. Library end removes the hook.
void StartDataSpy(const std::vector<std::string>& arguments);
void EndDataSpy();
}  // namespace detail

// A channel whose reads and writes go to the hook.
class TCommunicationInterfaceDataSpy : public uci_ICommunicationInterface::TCommunicationInterface {
 public:
  using TCommunicationInterface::TCommunicationInterface;
  std::string ClassName() const override { return "TCommunicationInterfaceDataSpy"; }

 protected:
  void DoDataWritten(const std::string& data) override;
  void DoDataRead(const std::string& data) override;
  virtual void SpyData(std::uint8_t direction, const std::string& text);
};

}  // namespace uCI_DataSpy
