#pragma once
// Reader/writer locks. TMultiReadExclusiveWriteSynchronizer is re-entrant for readers and for
// the writer, lets the writer also read, and lets a reader become the writer.
// TMultiReadExclusiveWriteSynchronizerExtended adds a name and misuse checks that raise
// EMultiReadExclusiveWriteSynchronizerExtendedException.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ci/uInterfaces.h"

namespace uSynchronizer {

class TMultiReadExclusiveWriteSynchronizer {
 public:
  // Blocks while another thread writes or waits to write, unless the calling thread already
  // holds the lock (shared or exclusive), so nested locks never deadlock.
  void BeginRead();
  // Releases one shared hold of the calling thread; false when it holds none.
  bool EndRead();
  // Exclusive; re-entrant. A calling thread that holds the lock shared waits only for the
  // other readers; while it waits its own shared holds do not keep other writers out, so two
  // readers becoming writers at once take turns. Waiting writers get the lock in the order
  // they came (a ticket each), so none waits behind later ones. Returns false when another
  // thread wrote in between (the revision level moved by more than this acquisition).
  bool BeginWrite();
  // Releases one exclusive hold of the calling thread; false when it is not the writer.
  bool EndWrite();

  std::uint32_t RevisionLevel() const;
  // Shared holds of the calling thread.
  int ThreadReadDepth() const;
  bool IsWriter() const;
  // Threads waiting in BeginWrite.
  int WaitingWriters() const;

 private:
  struct TReader {
    std::thread::id id;
    int depth;
    bool waitingToWrite;
  };
  TReader* FindReader(std::thread::id id);
  const TReader* FindReader(std::thread::id id) const;
  bool OtherReadersActive(std::thread::id me) const;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::thread::id writer_{};
  int writeDepth_ = 0;
  int waitingWriters_ = 0;
  // Tickets of waiting writers: the next one to hand out and the one whose turn it is.
  std::uint64_t nextTicket_ = 0;
  std::uint64_t servingTicket_ = 0;
  std::uint32_t revision_ = 0;
  std::vector<TReader> readers_;
};

class EMultiReadExclusiveWriteSynchronizerExtendedException : public std::runtime_error {
 public:
  EMultiReadExclusiveWriteSynchronizerExtendedException(std::string lockName, int errorIndex);
  const std::string& LockName() const noexcept { return lockName_; }
  int ErrorIndex() const noexcept { return errorIndex_; }

  // 0 "%s is currently locked for reading!", 1 "%s is not locked for writing!",
  // 2 "%s is not locked for reading!", otherwise "Unknown error N".
  static std::string FormatMessage(const std::string& lockName, int errorIndex);

 private:
  std::string lockName_;
  int errorIndex_;
};

// The runtime library's read/write synchronisation interface.
class IReadWriteSync {
 public:
  static constexpr uInterfaces::TGUID IID{"{7B108C52-1D8F-4CDB-9CDF-57E071193D3F}"};
  virtual int BeginRead() = 0;
  virtual void EndRead() = 0;
  virtual bool BeginWrite() = 0;
  virtual void EndWrite() = 0;

 protected:
  ~IReadWriteSync() = default;
};

class IMultiReadExclusiveWriteSynchronizerExtended : public IReadWriteSync {
 public:
  static constexpr uInterfaces::TGUID IID{"{FA658DA6-506F-48FA-A5E9-7530F87A74F8}"};
  virtual bool BeginWriteEx(bool check) = 0;
  virtual std::string GetLockName() const = 0;
  virtual int GetReadCount() const = 0;
  virtual int GetWriteCount() const = 0;
  virtual std::uint32_t GetRevisionLevel() const = 0;

 protected:
  ~IMultiReadExclusiveWriteSynchronizerExtended() = default;
};

// The named lock that guards providers, queues and slot lists. It is an owned helper: its
// owner creates it with its own class name and frees it in its destructor.
class TMultiReadExclusiveWriteSynchronizerExtended final
    : public IMultiReadExclusiveWriteSynchronizerExtended {
 public:
  explicit TMultiReadExclusiveWriteSynchronizerExtended(std::string lockName);
  TMultiReadExclusiveWriteSynchronizerExtended(
      const TMultiReadExclusiveWriteSynchronizerExtended&) = delete;
  TMultiReadExclusiveWriteSynchronizerExtended& operator=(
      const TMultiReadExclusiveWriteSynchronizerExtended&) = delete;
  ~TMultiReadExclusiveWriteSynchronizerExtended() = default;

  // Returns the new number of shared holds through this lock.
  int BeginRead() override;
  // Raises error 2 when the calling thread holds no shared lock.
  void EndRead() override;
  bool BeginWrite() override { return BeginWriteEx(true); }
  // With check, raises error 0 when the calling thread holds the lock shared, leaving the
  // lock as it was; without check such a thread becomes the writer.
  bool BeginWriteEx(bool check) override;
  // Raises error 1 when the calling thread is not the writer.
  void EndWrite() override;

  std::string GetLockName() const override { return lockName_; }
  int GetReadCount() const override { return readCount_.load(); }
  int GetWriteCount() const override { return writeCount_.load(); }
  std::uint32_t GetRevisionLevel() const override { return inner_.RevisionLevel(); }

 private:
  [[noreturn]] void Fail(int errorIndex) const;

  TMultiReadExclusiveWriteSynchronizer inner_;
  std::atomic<int> readCount_{0};
  std::atomic<int> writeCount_{0};
  const std::string lockName_;
};

// A scoped hold for code that must release on every path: BeginRead or BeginWrite of any
// lock that has them (the locks here, a node, a channel) when made, the matching End when it
// goes. A Begin that throws leaves nothing to release.
enum class THoldKind { Read, Write };

template <typename TLock, THoldKind Kind>
class TScopedHold {
 public:
  explicit TScopedHold(TLock& lock) : lock_(lock) {
    if constexpr (Kind == THoldKind::Read)
      lock_.BeginRead();
    else
      lock_.BeginWrite();
  }
  ~TScopedHold() {
    if constexpr (Kind == THoldKind::Read)
      lock_.EndRead();
    else
      lock_.EndWrite();
  }
  TScopedHold(const TScopedHold&) = delete;
  TScopedHold& operator=(const TScopedHold&) = delete;

 private:
  TLock& lock_;
};

using TReadLock = TScopedHold<TMultiReadExclusiveWriteSynchronizerExtended, THoldKind::Read>;
using TWriteLock = TScopedHold<TMultiReadExclusiveWriteSynchronizerExtended, THoldKind::Write>;

}  // namespace uSynchronizer
