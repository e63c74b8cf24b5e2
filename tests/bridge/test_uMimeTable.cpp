#include "bridge/uMimeTable.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace fs = std::filesystem;
using uMimeTable::TMimeTable;

namespace {

constexpr const char* kOctetStream = "application/octet-stream";

// A fresh folder per test, removed afterwards, for fixture mime.types files.
class MimeTableTest : public testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    for (;;) {
      folder_ = fs::temp_directory_path() /
                ("dovela-mime-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
      if (fs::create_directory(folder_)) break;
    }
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  fs::path Write(const std::string& text) {
    const fs::path file = folder_ / "mime.types";
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }
  fs::path Missing() const { return folder_ / "no-such-file"; }

  fs::path folder_;
};

TEST(MimeTableBuiltIn, RowsAreTheFixedListWithItsTwoDuplicates) {
  const auto& rows = TMimeTable::BuiltInRows();
  ASSERT_EQ(rows.size(), 136u);
  EXPECT_EQ(rows.front().first, ".aiff");
  EXPECT_EQ(rows.back().first, ".sgml");
  // .xbm and .xml occur twice; everything else once.
  EXPECT_EQ(rows[30], (std::pair<std::string, std::string>{".xbm", "image/xbm"}));
  EXPECT_EQ(rows[37], (std::pair<std::string, std::string>{".xbm", "image/x-xbitmap"}));
  EXPECT_EQ(rows[41], (std::pair<std::string, std::string>{".xml", "text/xml"}));
  EXPECT_EQ(rows[133], (std::pair<std::string, std::string>{".xml", "text/xml"}));
  std::set<std::string> extensions;
  for (const auto& row : rows) extensions.insert(row.first);
  EXPECT_EQ(extensions.size(), 134u);
}

TEST_F(MimeTableTest, WithoutAPlatformFileTheBuiltInRowsAnswerAndTheFirstRowWins) {
  const TMimeTable table(Missing());
  EXPECT_EQ(table.Count(), 134u);  // 136 rows, two extensions twice
  const std::pair<const char*, const char*> cases[] = {
      {"index.htm", "text/html"},
      {"index.html", "text/html"},
      {"style.css", "text/css"},
      {"data.xml", "text/xml"},
      {"notes.txt", "text/plain"},
      {"a.gif", "image/gif"},
      {"a.jpg", "image/jpeg"},
      {"a.jpeg", "image/jpeg"},
      {"a.jpe", "image/jpeg"},
      {"a.png", "image/x-png"},
      {"a.bmp", "image/bmp"},
      {"favicon.ico", "image/x-icon"},
      {"a.svg", "image/svg-xml"},
      {"a.shtml", "server-parsed-html"},
      {"a.zip", "application/x-zip-compressed"},
      {"a.pdf", "application/pdf"},
      {"a.xbm", "image/xbm"},
      {"a.js", kOctetStream},
      {"a.json", kOctetStream},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(table.LookupMimeType(name), type) << name;
}

TEST_F(MimeTableTest, LookupTakesTheLastExtensionOfTheLastComponentInAnyCase) {
  const TMimeTable table(Missing());
  const std::pair<const char*, const char*> cases[] = {
      {"INDEX.HTML", "text/html"},
      {"/Web/DovelaGSM/Page.Htm", "text/html"},
      {"dir\\sub.d\\page.CSS", "text/css"},
      {"archive.tar.gz", "application/x-gzip"},
      {".css", "text/css"},
      {"/dir.d/file", kOctetStream},
      {"dir.d\\file", kOctetStream},
      {"file", kOctetStream},
      {"", kOctetStream},
      {"trailing.", kOctetStream},
      {"/a/b.unknownext", kOctetStream},
      {"/values", kOctetStream},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(table.LookupMimeType(name), type) << name;
}

TEST_F(MimeTableTest, PlatformTypesReplaceBuiltInOnesAndAddNewExtensions) {
  const TMimeTable table(
      Write("# comment line with words like png\n"
            "image/svg+xml\t\tsvg svgz\n"
            "image/png png   # trailing words are a comment too\n"
            "text/javascript js mjs\r\n"
            "application/json json\n"
            "image/x-xbitmap XBM\n"
            "application/x-nothing\n"
            "\n"
            "   \t  \n"
            "text/x-new .newext NewUpper\n"
            "text/x-first twice\n"
            "text/x-second twice\n"));
  const std::pair<const char*, const char*> cases[] = {
      {"a.svg", "image/svg+xml"},   {"a.svgz", "image/svg+xml"},  {"a.png", "image/png"},
      {"a.js", "text/javascript"},  {"a.mjs", "text/javascript"}, {"a.json", "application/json"},
      {"a.xbm", "image/x-xbitmap"},  // both built-in rows took the platform's type
      {"a.newext", "text/x-new"},   {"A.NEWUPPER", "text/x-new"}, {"a.twice", "text/x-second"},
      {"a.html", "text/html"},  // not listed: stays
      {"a.trailing", kOctetStream}, {"a.comment", kOctetStream},  {"a.words", kOctetStream},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(table.LookupMimeType(name), type) << name;
  EXPECT_EQ(table.Count(), 134u + 7u);  // svgz mjs js json newext newupper twice
}

TEST_F(MimeTableTest, AnUnreadablePlatformFileLeavesTheBuiltInRows) {
  const fs::path paths[] = {Missing(), folder_};  // nothing there; a folder
  for (const fs::path& path : paths) {
    const TMimeTable table(path);
    EXPECT_EQ(table.Count(), 134u) << path;
    EXPECT_EQ(table.LookupMimeType("a.png"), "image/x-png") << path;
  }
}

TEST(MimeTablePlatform, TheSystemRegistryGivesTheTypesBrowsersRender) {
  if (!fs::is_regular_file("/etc/mime.types")) GTEST_SKIP() << "no /etc/mime.types";
  const TMimeTable table;
  EXPECT_EQ(table.LookupMimeType("logo.svg"), "image/svg+xml");
  EXPECT_EQ(table.LookupMimeType("data.json"), "application/json");
  const std::string js = table.LookupMimeType("app.js");
  EXPECT_TRUE(js == "text/javascript" || js == "application/javascript") << js;
  EXPECT_GT(table.Count(), 134u);
}

}  // namespace
