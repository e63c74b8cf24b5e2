#pragma once
// The communication library's process-wide state, created by one explicit scope object in
// a fixed order and freed in reverse. Create it first in main (and in each test main) and
// keep it until the end; nothing relies on the order of static initialisation.

#include <functional>
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
  // Creates, in order: the runner list, the node instance counter and node eventers, the
  // provider-name and class registries, the object destroyer, the data-spy hook (checking
  // the command line for the DST switch).
  TCILibraryScope();
  // Frees them in reverse order.
  ~TCILibraryScope();
  TCILibraryScope(const TCILibraryScope&) = delete;
  TCILibraryScope& operator=(const TCILibraryScope&) = delete;

  // True while a scope exists; only one may exist at a time.
  static bool Active() noexcept;

  // Layers above this library register how to free the process-wide state they create on
  // first use; the scope runs these first, newest first, when it ends.
  static void AtEnd(std::function<void()> release);

 private:
  std::unique_ptr<uThreadUtils::TThreadRunnerList> runnerList_;
  std::unique_ptr<uDispatcher::TObjectDestroyer> objectDestroyer_;
};

}  // namespace uCI_Library
