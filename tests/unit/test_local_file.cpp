// The local-file pieces that let a download replace its target only when it is complete: the
// exclusive creation, the unique names, the replacing rename and the folder of a path. Built into
// the native tests and into the Windows test program, which runs under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/LocalFile.h"
#include "platform/Platform.h"

namespace {

namespace fs = std::filesystem;

// A fresh folder in the system's temporary folder, removed at the end.
class LocalFile : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> count{0};
    Dir = fs::temp_directory_path() /
          ("quarnel-localfile-" + std::to_string(platform::TickCountMs()) + "-" +
           std::to_string(count.fetch_add(1)));
    fs::create_directories(Dir);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(Dir, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(Dir, ec);
  }
  std::string Path(const std::string& Name) const { return (Dir / Name).string(); }
  static void Write(const std::string& Path, const std::string& Text) {
    std::ofstream(Path, std::ios::binary) << Text;
  }
  static std::string Read(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return in ? text.str() : "<missing>";
  }
  size_t Entries() const {
    size_t n = 0;
    for (auto it = fs::directory_iterator(Dir); it != fs::directory_iterator(); ++it) ++n;
    return n;
  }

  fs::path Dir;
};

TEST_F(LocalFile, ANewFileIsNeverOneThatIsAlreadyThere) {
  bool exists = true;
  ASSERT_TRUE(platform::CreateNewLocalFile(Path("new"), false, exists));
  EXPECT_FALSE(exists);
  EXPECT_EQ(Read(Path("new")), "");

  Write(Path("old"), "kept");
  EXPECT_FALSE(platform::CreateNewLocalFile(Path("old"), false, exists));
  EXPECT_TRUE(exists);
  EXPECT_EQ(Read(Path("old")), "kept");

  // A folder that is not there: failed, but not because of the name.
  EXPECT_FALSE(platform::CreateNewLocalFile(Path("missing/new"), false, exists));
  EXPECT_FALSE(exists);
}

#ifndef _WIN32
TEST_F(LocalFile, ANewFileIsNeverMadeThroughALink) {
  Write(Path("victim"), "precious");
  fs::create_symlink(Path("victim"), Path("link"));
  fs::create_symlink(Path("nowhere"), Path("dangling"));
  for (const char* name : {"link", "dangling"}) {
    bool exists = false;
    EXPECT_FALSE(platform::CreateNewLocalFile(Path(name), false, exists)) << name;
    EXPECT_TRUE(exists) << name;
  }
  EXPECT_EQ(Read(Path("victim")), "precious");
  EXPECT_FALSE(fs::exists(Path("nowhere")));

  bool exists = false;
  ASSERT_TRUE(platform::CreateNewLocalFile(Path("private"), true, exists));
  EXPECT_EQ(fs::status(Path("private")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
}
#endif

TEST_F(LocalFile, UniqueNamesAreNeverSharedAndPassOverTakenOnes) {
  // Two threads at once, with and without the folder's trailing separator.
  std::vector<std::string> first, second;
  std::thread other([&] {
    for (int i = 0; i < 100; ++i)
      second.push_back(platform::CreateUniqueLocalFile(Dir.string(), "q_", ".part", false));
  });
  for (int i = 0; i < 100; ++i)
    first.push_back(platform::CreateUniqueLocalFile(Dir.string() + platform::PathSeparator(), "q_",
                                                    ".part", false));
  other.join();
  std::set<std::string> names;
  for (const auto* list : {&first, &second}) {
    for (const std::string& path : *list) {
      ASSERT_FALSE(path.empty());
      const std::string name = fs::path(path).filename().string();
      EXPECT_EQ(name.rfind("q_", 0), 0u) << name;
      EXPECT_EQ(name.substr(name.size() - 5), ".part") << name;
      EXPECT_EQ(platform::LocalFolderOf(path), Dir.string() + platform::PathSeparator());
      names.insert(name);
    }
  }
  EXPECT_EQ(names.size(), 200u);
  EXPECT_EQ(Entries(), 200u);

  // Names taken meanwhile, say by files left from an earlier run, are passed over.
  const std::string next = platform::CreateUniqueLocalFile(Dir.string(), "r_", "", false);
  const std::string stem = next.substr(0, next.rfind('-') + 1);
  const int count = std::stoi(next.substr(stem.size()));
  for (int i = 1; i <= 5; ++i) Write(stem + std::to_string(count + i), "left");
  const std::string after = platform::CreateUniqueLocalFile(Dir.string(), "r_", "", false);
  EXPECT_EQ(after, stem + std::to_string(count + 6));

  EXPECT_EQ(platform::CreateUniqueLocalFile(Path("missing"), "q_", "", false), "");
}

TEST_F(LocalFile, AReplacingRenamePutsTheNewFileInTheOldOnesPlace) {
  Write(Path("target"), "old");
  Write(Path("download"), "new");
#ifndef _WIN32
  fs::permissions(Path("target"), fs::perms::owner_read | fs::perms::owner_write);
#endif
  ASSERT_TRUE(platform::ReplaceLocalFile(Path("download"), Path("target")));
  EXPECT_EQ(Read(Path("target")), "new");
  EXPECT_FALSE(fs::exists(Path("download")));
#ifndef _WIN32
  EXPECT_EQ(fs::status(Path("target")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
#endif
  // Onto a name that is free.
  Write(Path("download"), "fresh");
  ASSERT_TRUE(platform::ReplaceLocalFile(Path("download"), Path("fresh")));
  EXPECT_EQ(Read(Path("fresh")), "fresh");
  // Into a folder that is not there: both stay as they were.
  Write(Path("download"), "kept");
  EXPECT_FALSE(platform::ReplaceLocalFile(Path("download"), Path("missing/target")));
  EXPECT_EQ(Read(Path("download")), "kept");
}

#ifdef _WIN32
// A download does not replace a read-only file (Windows' own MoveFileEx refuses to; Wine's does
// not): the plug-in asks first.
TEST_F(LocalFile, AReadOnlyFileIsNotWritable) {
  Write(Path("target"), "old");
  EXPECT_TRUE(platform::LocalFileWritable(Path("target")));
  fs::permissions(Path("target"),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  EXPECT_FALSE(platform::LocalFileWritable(Path("target")));
  EXPECT_FALSE(platform::LocalFileWritable(Path("missing")));
  fs::permissions(Path("target"), fs::perms::owner_write, fs::perm_options::add);
}
#endif

TEST(LocalFolder, OfAPath) {
  struct {
    const char* Path;
    const char* Folder;
    const char* WindowsFolder;
  } cases[] = {
      {"/home/u/report.txt", "/home/u/", "/home/u/"},
      {"report.txt", "", ""},
      {"/report.txt", "/", "/"},
      {"C:\\Users\\u\\report.txt", "", "C:\\Users\\u\\"},
      {"C:report.txt", "", "C:"},
      {"dir/sub\\report.txt", "dir/", "dir/sub\\"},
  };
  const bool windows = platform::PathSeparator() == '\\';
  for (const auto& c : cases)
    EXPECT_EQ(platform::LocalFolderOf(c.Path), windows ? c.WindowsFolder : c.Folder) << c.Path;
}

}  // namespace
