// The temporary file of a download, on both of its kinds: nameless where the
// filesystem allows it, named (with its signal guard) elsewhere.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "http/temp_file.h"

namespace {

class TempFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/temp-file-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf " + dir_).c_str()), 0); }

  // Names in the directory, hidden ones reduced to their prefix.
  std::multiset<std::string> Names() const {
    std::multiset<std::string> names;
    DIR* d = opendir(dir_.c_str());
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      names.insert(name.rfind(".mgmtfetch-", 0) == 0 ? ".mgmtfetch-" : name);
    }
    closedir(d);
    return names;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(dir_ + "/" + name);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

  std::string dir_;
};

TEST_F(TempFileTest, LandsOnlyThroughCommitAndLeavesNothingElse) {
  const std::multiset<std::string> named{".mgmtfetch-"}, none, target{"pkg"};
  for (bool nameless : {true, false}) {
    SCOPED_TRACE(nameless ? "nameless" : "named");
    const mode_t mask = umask(027);
    {
      TempFile file(dir_ + "/pkg", nameless);
      ASSERT_TRUE(file.ok());
      EXPECT_EQ(file.nameless(), nameless);
      EXPECT_EQ(Names(), nameless ? none : named);
      fputs("stale bytes", file.stream());
      ASSERT_TRUE(file.Truncate());
      fputs("new", file.stream());
      EXPECT_EQ(file.Flush(), 3);
      EXPECT_TRUE(file.Commit());
    }
    umask(mask);
    EXPECT_EQ(Names(), target);
    EXPECT_EQ(Read("pkg"), "new");
    struct stat st {};
    ASSERT_EQ(stat((dir_ + "/pkg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    { TempFile abandoned(dir_ + "/pkg", nameless); fputs("x", abandoned.stream()); }
    EXPECT_EQ(Read("pkg"), "new");
    // A rename refused (a directory in the way) leaves no name behind.
    ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir_ + "/sub/pkg").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir_ + "/sub/pkg/inside").c_str(), 0755), 0);
    {
      TempFile file(dir_ + "/sub/pkg", nameless);
      EXPECT_FALSE(file.Commit());
    }
    EXPECT_EQ(system(("test \"$(ls -A " + dir_ + "/sub)\" = pkg").c_str()), 0);
    ASSERT_EQ(system(("rm -rf " + dir_ + "/*").c_str()), 0);
  }
}

TEST_F(TempFileTest, TerminationSignalsRemoveItAndIgnoredOnesStayIgnored) {
  for (bool nameless : {true, false}) {
    for (bool ignored : {false, true}) {
      for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(std::string(nameless ? "nameless " : "named ") +
                     (ignored ? "ignored " : "") + strsignal(sig));
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
          if (ignored) signal(sig, SIG_IGN);
          {
            TempFile file(dir_ + "/pkg", nameless);
            fputs("partial", file.stream());
            file.Flush();
            raise(sig);
          }
          _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(status, ignored ? 0 : sig);
        EXPECT_EQ(Names(), std::multiset<std::string>());
      }
    }
  }
}

TEST(UnusableTarget, RefusesWhatNoRenameCanReplace) {
  const struct { std::string path; bool unusable; } rows[] = {
      {"", true}, {"a/", true}, {".", true}, {"..", true}, {"/tmp", true},
      {std::string(256, 'x'), true}, {"/tmp/no-such-dir/x", false},
      {"/tmp/mgmtfetch-absent-name", false}, {"/etc/hostname", false},
  };
  for (const auto& r : rows) EXPECT_EQ(UnusableTarget(r.path), r.unusable) << r.path;
}

}  // namespace
