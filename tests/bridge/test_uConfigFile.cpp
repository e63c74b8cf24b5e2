#include "bridge/uConfigFile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

using namespace std::string_view_literals;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"windows-1250\"?>\r\n";

// A fresh folder per test, removed afterwards.
class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    const fs::path base = fs::temp_directory_path();
    for (;;) {
      folder_ = base / ("dovela-configfile-" + std::to_string(::getpid()) + "-" +
                        std::to_string(counter++));
      if (fs::create_directory(folder_)) break;
    }
    file_ = folder_ / uConfigFile::kConfigFileName;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  void Write(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::set<std::string> Listing() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_))
      names.insert(entry.path().filename().string());
    return names;
  }

  fs::path folder_;
  fs::path file_;
};

TEST_F(ConfigFileTest, MissingFileLoadsNothingAndSaveWritesDefault) {
  std::int32_t port = 1234;
  EXPECT_FALSE(uConfigFile::LoadConfigFile(file_, port));
  EXPECT_EQ(port, 1234);

  std::string error;
  ASSERT_TRUE(uConfigFile::SaveConfigFile(file_, 0, error)) << error;
  EXPECT_EQ(Read(file_),
            "<?xml version=\"1.0\" encoding=\"windows-1250\"?>\r\n<root WebPort=\"0\"/>\r\n");
  EXPECT_EQ(Listing(), std::set<std::string>{"config.xml"});
}

struct TextCase {
  const char* name;
  std::int32_t port;
  std::string_view rootLine;
};

TEST(ConfigFileTextTest, ExactBytes) {
  const TextCase cases[] = {
      {"zero", 0, "<root WebPort=\"0\"/>\r\n"},
      {"usual", 8080, "<root WebPort=\"8080\"/>\r\n"},
      {"negative", -1, "<root WebPort=\"-1\"/>\r\n"},
      {"minimum", INT32_MIN, "<root WebPort=\"-2147483648\"/>\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(uConfigFile::ConfigFileText(c.port),
              std::string(kDeclaration) + std::string(c.rootLine));
  }
}

struct LoadCase {
  const char* name;
  std::string_view content;
  bool loaded;
  std::int32_t port;  // expected afterwards; kUnchanged when the file is rejected
};

constexpr std::int32_t kUnchanged = 1234;

TEST_F(ConfigFileTest, Load) {
  const LoadCase cases[] = {
      {"as written",
       "<?xml version=\"1.0\" encoding=\"windows-1250\"?>\r\n"
       "<root WebPort=\"8080\"/>\r\n",
       true, 8080},
      {"no declaration", "<root WebPort=\"8080\"/>", true, 8080},
      {"other root name", "<config Other=\"1\" WebPort=\"8080\"><child WebPort=\"1\"/></config>",
       true, 8080},
      {"hex", "<root WebPort=\"$1F90\"/>", true, 8080},
      {"leading space", "<root WebPort=\" 8080\"/>", true, 8080},
      {"comment after root", "<root WebPort=\"8080\"/>\r\n<!-- kept by hand -->\r\n", true, 8080},
      {"not an integer", "<root WebPort=\"80a\"/>", true, 0},
      {"trailing space", "<root WebPort=\"8080 \"/>", true, 0},
      {"empty value", "<root WebPort=\"\"/>", true, 0},
      {"out of range", "<root WebPort=\"2147483648\"/>", true, 0},
      {"no attribute", "<root/>", true, 0},
      {"only on a child", "<root><x WebPort=\"8080\"/></root>", true, 0},
      {"cut in attribute", "<root WebPort=", false, kUnchanged},
      {"cut in element", "<?xml version=\"1.0\"?>\r\n<root WebPort=\"8080\"", false, kUnchanged},
      {"garbage bytes", "\x01\x02\xff\xfe\x80garbage"sv, false, kUnchanged},
      {"empty file", "", false, kUnchanged},
      {"declaration only", "<?xml version=\"1.0\" encoding=\"windows-1250\"?>\r\n", false,
       kUnchanged},
      {"mismatched tags", "<root WebPort=\"8080\"></other>", false, kUnchanged},
      {"two root elements", "<root WebPort=\"8080\"/><root WebPort=\"1\"/>", false, kUnchanged},
      {"text after root", "<root WebPort=\"8080\"/>junk", false, kUnchanged},
      // A shorter file written over a longer one without truncating it.
      {"stale tail", "<root WebPort=\"80\"/>\r\n\"/>\r\n", false, kUnchanged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Write(file_, c.content);
    std::int32_t port = kUnchanged;
    EXPECT_EQ(uConfigFile::LoadConfigFile(file_, port), c.loaded);
    EXPECT_EQ(port, c.port);
  }
}

TEST_F(ConfigFileTest, DirectoryNamedLikeTheFileIsNotLoaded) {
  fs::create_directory(file_);
  std::int32_t port = kUnchanged;
  EXPECT_FALSE(uConfigFile::LoadConfigFile(file_, port));
  EXPECT_EQ(port, kUnchanged);
}

TEST_F(ConfigFileTest, SaveRewritesForeignFileInOwnForm) {
  Write(file_, "<config Extra=\"x\" WebPort=\"8080\"><child/></config>");
  std::int32_t port = 0;
  ASSERT_TRUE(uConfigFile::LoadConfigFile(file_, port));
  ASSERT_EQ(port, 8080);

  std::string error;
  ASSERT_TRUE(uConfigFile::SaveConfigFile(file_, port, error)) << error;
  EXPECT_EQ(Read(file_), std::string(kDeclaration) + "<root WebPort=\"8080\"/>\r\n");
  EXPECT_EQ(Listing(), std::set<std::string>{"config.xml"});
}

// Each save replaces the previous file; what is saved loads back the same.
TEST_F(ConfigFileTest, RoundTrip) {
  for (const std::int32_t saved : {0, 8080, 65535, -1}) {
    SCOPED_TRACE(saved);
    std::string error;
    ASSERT_TRUE(uConfigFile::SaveConfigFile(file_, saved, error)) << error;
    EXPECT_EQ(Read(file_), uConfigFile::ConfigFileText(saved));
    std::int32_t port = kUnchanged;
    EXPECT_TRUE(uConfigFile::LoadConfigFile(file_, port));
    EXPECT_EQ(port, saved);
    EXPECT_EQ(Listing(), std::set<std::string>{"config.xml"});
  }
}

TEST_F(ConfigFileTest, SaveIntoMissingFolderFails) {
  const fs::path file = folder_ / "missing" / uConfigFile::kConfigFileName;
  std::string error;
  EXPECT_FALSE(uConfigFile::SaveConfigFile(file, 8080, error));
  EXPECT_NE(error.find(file.string()), std::string::npos) << error;
  EXPECT_TRUE(Listing().empty());
}

TEST_F(ConfigFileTest, SaveOverDirectoryFailsAndChangesNothing) {
  fs::create_directory(file_);
  std::string error;
  EXPECT_FALSE(uConfigFile::SaveConfigFile(file_, 8080, error));
  EXPECT_NE(error.find(file_.string()), std::string::npos) << error;
  EXPECT_TRUE(fs::is_directory(file_));
  EXPECT_TRUE(fs::is_empty(file_));
  EXPECT_EQ(Listing(), std::set<std::string>{"config.xml"});
}

// Limits the size of files this process may write, with SIGXFSZ ignored so that writes past
// the limit fail with EFBIG instead of ending the process; both are restored afterwards.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    active_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool active() const { return active_; }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = SIG_DFL;
  bool active_ = false;
};

// A write that fails part way keeps the previous file whole and leaves no partial file.
TEST_F(ConfigFileTest, FailedWriteKeepsPreviousFile) {
  std::string error;
  ASSERT_TRUE(uConfigFile::SaveConfigFile(file_, 8080, error)) << error;
  const std::string before = Read(file_);

  bool saved = true;
  {
    FileSizeLimit limit(10);
    ASSERT_TRUE(limit.active());
    saved = uConfigFile::SaveConfigFile(file_, 1, error);
  }
  EXPECT_FALSE(saved);
  EXPECT_NE(error.find(file_.string()), std::string::npos) << error;
  EXPECT_EQ(Read(file_), before);
  EXPECT_EQ(Listing(), std::set<std::string>{"config.xml"});
}

}  // namespace
