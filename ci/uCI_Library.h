#pragma once
// The communication library's process-wide state, created by one explicit scope object in
// a fixed order and freed in reverse. Create it first in main (and in each test main) and
// keep it until the end; nothing relies on the order of static initialisation.

#include <functional>
#include <stdexcept>

namespace uCI_Library {

// Raised by a call that needs the library's process-wide state (the object destroyer, the
// node eventers, the runner list) when no library scope holds it: before the start, after
// the end, or while the end is freeing it.
class ECILibraryError : public std::logic_error {
 public:
  ECILibraryError();
};

class TCILibraryScope {
 public:
  // Creates, in order: the runner list, the node instance counter and node eventers, the
  // provider-name and class registries, the object destroyer, the data-spy hook (checking
  // the command line for the DST switch).
  TCILibraryScope();
  // Frees them in reverse order. Other threads may still be using the library meanwhile:
  // what they have in hand stays valid until they let go of it, and what they ask for once
  // a part is gone is refused with ECILibraryError.
  ~TCILibraryScope();
  TCILibraryScope(const TCILibraryScope&) = delete;
  TCILibraryScope& operator=(const TCILibraryScope&) = delete;

  // True while a scope exists; only one may exist at a time.
  static bool Active() noexcept;

  // Layers above this library register how to free the process-wide state they create on
  // first use; the scope runs these first, newest first, when it ends.
  static void AtEnd(std::function<void()> release);
};

}  // namespace uCI_Library
