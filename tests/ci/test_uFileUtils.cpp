#include "ci/uFileUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

class FileUtilsTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fileutils-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  fs::path Write(const std::string& name, const std::string& content) const {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  fs::path dir_;
};

bool IsOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

TEST(FileUtilsFd, ClosesWhenItGoesOrTakesAnotherAndMovesOwnership) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  {
    uFileUtils::TFd first(pipeFds[0]);
    uFileUtils::TFd second(pipeFds[1]);
    EXPECT_TRUE(first);
    uFileUtils::TFd moved(std::move(first));
    EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): the moved-from state is the point
    EXPECT_EQ(moved.Get(), pipeFds[0]);
    moved = std::move(second);  // closes the read end, holds the write end
    EXPECT_FALSE(IsOpen(pipeFds[0]));
    EXPECT_TRUE(IsOpen(pipeFds[1]));
    const int released = moved.Release();
    EXPECT_FALSE(moved);
    moved.Reset(released);
  }
  EXPECT_FALSE(IsOpen(pipeFds[1]));
  uFileUtils::TFd none;
  EXPECT_FALSE(none);
  EXPECT_EQ(none.Get(), -1);
}

struct ReadRow {
  const char* name;
  std::string content;
  uFileUtils::TReadOptions options;
  bool ok;
  std::string error;  // expected part of the error
};

TEST_F(FileUtilsTest, ReadWholeFileTable) {
  const std::string big(100000, 'x');  // several reads
  const ReadRow rows[] = {
      {"empty", "", {}, true, ""},
      {"bytes", std::string("a\0b\r\n\xFF", 6), {}, true, ""},
      {"big", big, {}, true, ""},
      {"at the limit", "12345", {.MaxBytes = 5}, true, ""},
      {"over the limit", "123456", {.MaxBytes = 5}, false, "is longer than 5 bytes"},
      {"regular only", "text", {.RegularOnly = true}, true, ""},
  };
  for (const ReadRow& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path path = Write("file", row.content);
    std::string content = "old";
    std::string error;
    EXPECT_EQ(uFileUtils::ReadWholeFile(path, content, error, row.options), row.ok);
    if (row.ok) {
      EXPECT_EQ(content, row.content);
      EXPECT_EQ(error, "");
    } else {
      EXPECT_NE(error.find(path.string()), std::string::npos) << error;
      EXPECT_NE(error.find(row.error), std::string::npos) << error;
    }
  }
}

TEST_F(FileUtilsTest, WhatCannotBeReadNamesThePathAndTheReason) {
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    const char* name;
    fs::path path;
    bool regularOnly;
    std::string error;
  } rows[] = {
      {"missing", dir_ / "missing", false,
       "cannot open " + (dir_ / "missing").string() + ": No such file or directory"},
      {"directory", dir_, false, "cannot read " + dir_.string() + ": Is a directory"},
      {"directory, regular only", dir_, true, dir_.string() + " is not a regular file"},
      // Without a writer a blocking open would never return.
      {"FIFO, regular only", fifo, true, fifo.string() + " is not a regular file"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string content, error;
    EXPECT_FALSE(
        uFileUtils::ReadWholeFile(row.path, content, error, {.RegularOnly = row.regularOnly}));
    EXPECT_EQ(error, row.error);
  }
}

// A signal that interrupts a blocked read or write (the handler is installed without
// SA_RESTART, so the call fails with EINTR) does not end it early.
extern "C" void IgnoreSignal(int) {}

void SignalRepeatedly(std::thread& target) {
  for (int i = 0; i < 20; ++i) {
    ::pthread_kill(target.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST(FileUtilsSignals, ReadToEndAndWriteAllGoOnAfterASignal) {
  struct sigaction action {};
  action.sa_handler = IgnoreSignal;
  struct sigaction old {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);
  const std::string data(1 << 20, 'd');  // far more than a pipe holds

  {  // the reader waits on an empty pipe while the signals come
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    uFileUtils::TFd readEnd(fds[0]), writeEnd(fds[1]);
    std::string content;
    int result = -1;
    std::thread reader([&] { result = uFileUtils::ReadToEnd(readEnd.Get(), content); });
    SignalRepeatedly(reader);
    EXPECT_EQ(uFileUtils::WriteAll(writeEnd.Get(), data), 0);
    writeEnd.Reset();
    reader.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(content, data);
  }
  {  // the writer waits on a full pipe while the signals come
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    uFileUtils::TFd readEnd(fds[0]), writeEnd(fds[1]);
    int result = -1;
    std::thread writer([&] {
      result = uFileUtils::WriteAll(writeEnd.Get(), data);
      writeEnd.Reset();
    });
    SignalRepeatedly(writer);
    std::string content;
    EXPECT_EQ(uFileUtils::ReadToEnd(readEnd.Get(), content), 0);
    writer.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(content, data);
  }
  ::sigaction(SIGUSR1, &old, nullptr);
}

TEST(FileUtilsWrite, AFailedWriteGivesItsErrno) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  uFileUtils::TFd writeEnd(pipeFds[1]);
  ::close(pipeFds[0]);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction old {};
  ::sigaction(SIGPIPE, &ignore, &old);
  EXPECT_EQ(uFileUtils::WriteAll(writeEnd.Get(), "x"), EPIPE);
  ::sigaction(SIGPIPE, &old, nullptr);
  EXPECT_EQ(uFileUtils::WriteAll(-1, "x"), EBADF);
  EXPECT_EQ(uFileUtils::WriteAll(-1, ""), 0);  // nothing to write touches nothing
}

}  // namespace
