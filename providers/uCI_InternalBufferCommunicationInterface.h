#pragma once
// The receive buffer every transport provider uses. Receive threads append with
// DoReadString, which takes only the buffer lock, so reception never waits for a running
// Query; the buffer keeps the newest BufferLimit bytes.

#include <cstdint>
#include <string>

#include "providers/uCI_CommunicationInterface.h"

namespace uCI_InternalBufferCommunicationInterface {

inline constexpr std::size_t kBufferLimit = 100000;

class TCommunicationInternalBufferInterface
    : public uCI_CommunicationInterface::TCommunicationInterface {
 public:
  // Provider lock shared, then buffer lock shared.
  std::int32_t GetInputCount() override;
  // Provider lock exclusive, then buffer lock exclusive.
  void ClearInput() override;

 protected:
  explicit TCommunicationInternalBufferInterface(const std::string& className);
  ~TCommunicationInternalBufferInterface() override;

  // Takes the whole buffer.
  std::string InternalReadString() override;
  // Appends text (dropping the oldest bytes past the limit), then fires OnReadString.
  void DoReadString(const std::string& text) override;

 private:
  uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended bufferLock_;
  std::string buffer_;
};

}  // namespace uCI_InternalBufferCommunicationInterface
