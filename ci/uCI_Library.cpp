#include "ci/uCI_Library.h"

#include <atomic>
#include <stdexcept>

#include "ci/uDispatcher.h"
#include "ci/uThreadUtils.h"

namespace uCI_Library {

namespace {
std::atomic<bool> gActive{false};
}

TCILibraryScope::TCILibraryScope() {
  if (gActive.exchange(true)) throw std::logic_error("the communication library is already started");
  runnerList_ = std::make_unique<uThreadUtils::TThreadRunnerList>();
  uThreadUtils::detail::SetThreadRunnerList(runnerList_.get());
  objectDestroyer_ = std::make_unique<uDispatcher::TObjectDestroyer>();
  uDispatcher::detail::SetObjectDestroyer(objectDestroyer_.get());
}

TCILibraryScope::~TCILibraryScope() {
  uDispatcher::detail::SetObjectDestroyer(nullptr);
  objectDestroyer_.reset();
  uThreadUtils::detail::SetThreadRunnerList(nullptr);
  runnerList_.reset();
  gActive = false;
}

bool TCILibraryScope::Active() noexcept { return gActive.load(); }

}  // namespace uCI_Library
