#include "providers/uCI_InternalBufferCommunicationInterface.h"

namespace uCI_InternalBufferCommunicationInterface {

using uSynchronizer::TReadLock;
using uSynchronizer::TWriteLock;

TCommunicationInternalBufferInterface::TCommunicationInternalBufferInterface(
    const std::string& className)
    : TCommunicationInterface(className), bufferLock_(className + ".Buffer") {}

TCommunicationInternalBufferInterface::~TCommunicationInternalBufferInterface() = default;

std::int32_t TCommunicationInternalBufferInterface::GetInputCount() {
  TReadLock provider(ProviderLock());
  TReadLock buffer(bufferLock_);
  return static_cast<std::int32_t>(buffer_.size());
}

void TCommunicationInternalBufferInterface::ClearInput() {
  TWriteLock provider(ProviderLock());
  TWriteLock buffer(bufferLock_);
  buffer_.clear();
}

std::string TCommunicationInternalBufferInterface::InternalReadString() {
  TWriteLock buffer(bufferLock_);
  std::string text;
  text.swap(buffer_);
  return text;
}

void TCommunicationInternalBufferInterface::DoReadString(const std::string& text) {
  {
    TWriteLock buffer(bufferLock_);
    buffer_ += text;
    if (buffer_.size() > kBufferLimit) buffer_.erase(0, buffer_.size() - kBufferLimit);
  }
  TCommunicationInterface::DoReadString(text);
}

}  // namespace uCI_InternalBufferCommunicationInterface
