#include "parser_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

// A fresh directory under the test temp dir, removed afterwards.
class PathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "velk_path_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }
  void touch(const std::string& relative) const {
    fs::create_directories(fs::path(path(relative)).parent_path());
    std::FILE* file = std::fopen(path(relative).c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
  }

  std::string root_;
};

// Runs a test body with the working directory changed, restoring it after.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& dir) : saved_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~WorkingDirectory() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

TEST_F(PathTest, IncludePathSegmentsAreTriedInCommandLineOrder) {
  touch("b/x.velk");
  touch("c/x.velk");
  touch("c/y.velk");
  std::string list;
  path_add_include_path(list, (path("a") + ";" + path("b")).c_str());
  path_add_include_path(list, path("c").c_str());
  std::string out;
  EXPECT_EQ(lookupFilePath("x.velk", nullptr, list, &out), kLookupFound);
  EXPECT_EQ(out, path("b") + "/x.velk");
  EXPECT_EQ(lookupFilePath("y.velk", nullptr, list, &out), kLookupFound);
  EXPECT_EQ(out, path("c") + "/y.velk");
  EXPECT_EQ(lookupFilePath("z.velk", nullptr, list, &out), kLookupNotFound);
  EXPECT_EQ(lookupFilePath("y.velk", nullptr, ";;" + path("c") + ";", &out), kLookupFound);
  EXPECT_EQ(lookupFilePath("y.velk", nullptr, "", &out), kLookupNotFound);
}

TEST_F(PathTest, CurrentFileDirectoryComesFirstThenNameAsGiven) {
  touch("d/inc.velk");
  touch("c/inc.velk");
  std::string out;
  EXPECT_EQ(lookupFilePath("inc.velk", path("d/main.velk").c_str(), path("c"), &out),
            kLookupFound);
  EXPECT_EQ(out, path("d") + "/inc.velk");
  // An absolute name is found as given when the current directory lacks it.
  EXPECT_EQ(lookupFilePath(path("c/inc.velk").c_str(), path("e/main.velk").c_str(), "", &out),
            kLookupFound);
  EXPECT_EQ(out, path("c/inc.velk"));
}

TEST_F(PathTest, BareCurrentFileMeansWorkingDirectoryNeverRoot) {
  touch("inc.velk");
  WorkingDirectory cwd(root_);
  std::string out;
  EXPECT_EQ(lookupFilePath("inc.velk", "main.velk", "", &out), kLookupFound);
  EXPECT_EQ(out, "./inc.velk");
  // "/etc/passwd" exists on the build hosts; "./etc/passwd" does not.
  if (fs::exists("/etc/passwd")) {
    EXPECT_EQ(lookupFilePath("etc/passwd", "main.velk", "", &out), kLookupNotFound);
  }
}

TEST_F(PathTest, DirectoriesAreNotFiles) {
  touch("sub/f.velk");
  std::string out;
  EXPECT_EQ(lookupFilePath("sub", nullptr, root_, &out), kLookupNotFound);
}

TEST_F(PathTest, OverlongCandidatesReturnTooLong) {
  std::string out;
  const std::string name = "n.velk";  // 6 bytes
  // Current file's directory: dir + name + 2 may reach 259, not exceed it.
  const std::string dir251(251, 'd');
  EXPECT_EQ(lookupFilePath(name.c_str(), (dir251 + "/m").c_str(), "", &out), kLookupNotFound);
  EXPECT_EQ(lookupFilePath(name.c_str(), (dir251 + "d/m").c_str(), "", &out),
            kLookupPathTooLong);
  // Include segment: segment + name + 2 may reach 260, not exceed it.
  const std::string seg252(252, 's');
  EXPECT_EQ(lookupFilePath(name.c_str(), nullptr, seg252, &out), kLookupNotFound);
  EXPECT_EQ(lookupFilePath(name.c_str(), nullptr, seg252 + "s", &out), kLookupPathTooLong);
  // The overlong segment ends the search even though a later one holds the file.
  touch("ok/n.velk");
  EXPECT_EQ(lookupFilePath(name.c_str(), nullptr, seg252 + "s;" + path("ok"), &out),
            kLookupPathTooLong);
  EXPECT_EQ(lookupFilePath(name.c_str(), nullptr, path("ok") + ";" + seg252 + "s", &out),
            kLookupFound);
}

TEST(PathIncludeList, AppendsWithSemicolon) {
  struct Case {
    const char* list;
    const char* value;
    const char* expected;
  } cases[] = {
      {"", "a", "a"}, {"a", "b", "a;b"}, {"a;b", "c;d", "a;b;c;d"}, {"", "", ""}, {"a", nullptr, "a"},
  };
  for (const Case& c : cases) {
    std::string list = c.list;
    path_add_include_path(list, c.value);
    EXPECT_EQ(list, c.expected);
  }
}

TEST_F(PathTest, CanonicalResolvesDotsAndSymlinks) {
  touch("d/f.velk");
  const std::string expected = fs::canonical(path("d/f.velk")).string();
  std::string out;
  ASSERT_TRUE(path_canonical(path("d/../d/./f.velk").c_str(), &out));
  EXPECT_EQ(out, expected);
  fs::create_symlink(path("d/f.velk"), path("link.velk"));
  ASSERT_TRUE(path_canonical(path("link.velk").c_str(), &out));
  EXPECT_EQ(out, expected);
  {
    WorkingDirectory cwd(path("d"));
    ASSERT_TRUE(path_canonical("f.velk", &out));
    EXPECT_EQ(out, expected);
  }
  EXPECT_FALSE(path_canonical(path("missing.velk").c_str(), &out));
  EXPECT_FALSE(path_canonical("", &out));
  EXPECT_FALSE(path_canonical(nullptr, &out));
}

}  // namespace
