#pragma once
// The communication library's process-wide state, created by one explicit scope object in
// a fixed order and freed in reverse. Create it first in main (and in each test main) and
// keep it until the end; nothing relies on the order of static initialisation.

#include <memory>

namespace uThreadUtils {
class TThreadRunnerList;
}
namespace uDispatcher {
class TObjectDestroyer;
}

namespace uCI_Library {

class TCILibraryScope {
 public:
  // Creates, in order: the runner list, the object destroyer.
  TCILibraryScope();
  // Frees them in reverse order.
  ~TCILibraryScope();
  TCILibraryScope(const TCILibraryScope&) = delete;
  TCILibraryScope& operator=(const TCILibraryScope&) = delete;

  // True while a scope exists; only one may exist at a time.
  static bool Active() noexcept;

 private:
  std::unique_ptr<uThreadUtils::TThreadRunnerList> runnerList_;
  std::unique_ptr<uDispatcher::TObjectDestroyer> objectDestroyer_;
};

}  // namespace uCI_Library
