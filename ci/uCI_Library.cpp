#include "ci/uCI_Library.h"

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "ci/uCI_DataSpy.h"
#include "ci/uCI_Wrapper.h"
#include "ci/uDispatcher.h"
#include "ci/uNodedInterface.h"
#include "ci/uThreadUtils.h"

namespace uCI_Library {

namespace {
std::atomic<bool> gActive{false};
std::mutex gAtEndMutex;
std::vector<std::function<void()>> gAtEnd;
}  // namespace

ECILibraryError::ECILibraryError()
    : std::logic_error(
          "the communication library is not running (it has not started or has ended)") {}

void TCILibraryScope::AtEnd(std::function<void()> release) {
  std::lock_guard lock(gAtEndMutex);
  gAtEnd.push_back(std::move(release));
}

TCILibraryScope::TCILibraryScope() {
  if (gActive.exchange(true))
    throw std::logic_error("the communication library is already started");
  uThreadUtils::detail::StartThreadRunnerList();
  uNodedInterface::detail::StartNodes();
  uCI_Wrapper::detail::StartRegistries();
  uDispatcher::detail::StartObjectDestroyer();
  uCI_DataSpy::detail::StartDataSpy(uCI_DataSpy::ProcessArguments());
}

TCILibraryScope::~TCILibraryScope() {
  for (;;) {
    std::function<void()> release;
    {
      std::lock_guard lock(gAtEndMutex);
      if (gAtEnd.empty()) break;
      release = std::move(gAtEnd.back());
      gAtEnd.pop_back();
    }
    release();
  }
  uCI_DataSpy::detail::EndDataSpy();
  uDispatcher::detail::EndObjectDestroyer();
  uCI_Wrapper::detail::EndRegistries();
  uNodedInterface::detail::EndNodes();
  uThreadUtils::detail::EndThreadRunnerList();
  gActive = false;
}

bool TCILibraryScope::Active() noexcept {
  return gActive.load();
}

}  // namespace uCI_Library
