// The temporary file of a download, on both of its kinds: nameless where the
// filesystem allows it, named (with its signal guard) elsewhere.
#include <signal.h>
#include <sys/random.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "http/temp_file.h"
#include "test_util.h"

namespace {
// While not negative, the temporary names are forced: draw k (counting from
// this value) is all bytes k, so 0 names ".mgmtfetch-aaaaaa", then "-bbbbbb".
int g_draw = -1;
}  // namespace

// Stands in for libc's in this whole binary; unforced, it is the kernel's.
extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags) noexcept {
  if (g_draw < 0) return syscall(SYS_getrandom, buffer, length, flags);
  std::memset(buffer, g_draw++, length);
  return static_cast<ssize_t>(length);
}

namespace {

class TempFileTest : public ::testing::Test {
 protected:
  void TearDown() override { g_draw = -1; }

  // What a shell command run in the directory prints; hidden temporary names
  // are cut to their prefix.
  std::string Sh(const std::string& command) const {
    return scratch_.Sh(command + " | sed 's/^\\.mgmtfetch-.*/.mgmtfetch-/'");
  }

  const ScratchDir scratch_;
  const std::string dir_ = scratch_.path();
};

TEST_F(TempFileTest, LandsOnlyThroughCommitAndLeavesNothingElse) {
  for (bool nameless : {true, false}) {
    SCOPED_TRACE(nameless ? "nameless" : "named");
    const mode_t mask = umask(002);
    {
      TempFile file(dir_ + "/pkg", nameless);
      ASSERT_TRUE(file.ok());
      EXPECT_EQ(file.nameless(), nameless);
      EXPECT_EQ(Sh("ls -A"), nameless ? "" : ".mgmtfetch-\n");
      fputs("stale bytes", file.stream());
      ASSERT_TRUE(file.Truncate());
      EXPECT_EQ(file.Append("ne", 2) + file.Append("w", 1), 3u);
      EXPECT_EQ(file.Flush(), 3);
      EXPECT_TRUE(file.Commit());
    }
    umask(mask);
    EXPECT_EQ(Sh("ls -A; stat -c %a pkg; cat pkg"), "pkg\n664\nnew");
    { TempFile abandoned(dir_ + "/pkg", nameless); fputs("x", abandoned.stream()); }
    // A rename refused (a directory in the way) leaves no name behind.
    ASSERT_EQ(system(("mkdir -p " + dir_ + "/sub/pkg/inside").c_str()), 0);
    EXPECT_FALSE(TempFile(dir_ + "/sub/pkg", nameless).Commit());
    EXPECT_EQ(Sh("ls -A . sub; cat pkg; rm -r sub pkg"), ".:\npkg\nsub\n\nsub:\npkg\nnew");
  }
}

TEST_F(TempFileTest, TerminationSignalsRemoveItAndIgnoredOnesStayIgnored) {
  for (bool nameless : {true, false}) {
    for (bool ignored : {false, true}) {
      for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(std::string(nameless ? "nameless " : "named ") +
                     (ignored ? "ignored " : "") + strsignal(sig));
        // The disposition is set either way: a background job starts with
        // SIGINT and SIGQUIT ignored.
        EXPECT_EXIT(
            {
              signal(sig, ignored ? SIG_IGN : SIG_DFL);
              {
                TempFile file(dir_ + "/pkg", nameless);
                fputs("partial", file.stream());
                file.Flush();
                raise(sig);
              }
              _exit(0);
            },
            [=](int status) { return status == (ignored ? 0 : sig); }, "");
        EXPECT_EQ(Sh("ls -A"), "");
      }
    }
  }
}

TEST_F(TempFileTest, ALinkPlantedAtTheNameIsNeverFollowed) {
  const std::string list = "find . -mindepth 1 -printf '%y %P %l\\n' | sort";
  for (bool nameless : {false, true}) {
    SCOPED_TRACE(nameless ? "nameless" : "named");
    ASSERT_EQ(symlink("victim", (dir_ + "/.mgmtfetch-aaaaaa").c_str()), 0);
    // A package already there: the commit goes through a hidden name too.
    Sh("echo old > pkg");
    g_draw = 0;
    {
      TempFile file(dir_ + "/pkg", nameless);
      ASSERT_TRUE(file.ok());
      EXPECT_EQ(Sh(list), std::string(nameless ? "" : "f .mgmtfetch-bbbbbb \n") +
                              "f pkg \nl .mgmtfetch-aaaaaa victim\n");
      fputs("new", file.stream());
      EXPECT_TRUE(file.Commit());
    }
    g_draw = -1;
    EXPECT_EQ(Sh(list + "; cat pkg; rm pkg .mgmtfetch-aaaaaa"),
              "f pkg \nl .mgmtfetch-aaaaaa victim\nnew");
  }
}

TEST_F(TempFileTest, ANewPackageIsNamedInOneStepAReplacedOneThroughAHiddenName) {
  for (bool exists : {false, true}) {
    SCOPED_TRACE(exists ? "replaced" : "new");
    if (exists) Sh("echo old > pkg");
    TempFile file(dir_ + "/pkg");
    ASSERT_TRUE(file.nameless());
    fputs("new", file.stream());
    // The names the commit makes in the directory: created, linked, renamed.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, dir_.c_str(), IN_CREATE | IN_MOVED_TO), 0);
    EXPECT_TRUE(file.Commit());
    alignas(inotify_event) char events[4096];
    const ssize_t n = read(watch, events, sizeof events);
    close(watch);
    std::string names;
    for (const char* e = events; e < events + std::max<ssize_t>(n, 0);
         e += sizeof(inotify_event) + reinterpret_cast<const inotify_event*>(e)->len)
      names += std::string(reinterpret_cast<const inotify_event*>(e)->name).substr(0, 11) + " ";
    // Only a replacement has an instant, between the link and the rename, in
    // which SIGKILL would leave the hidden name.
    EXPECT_EQ(names, exists ? ".mgmtfetch- pkg " : "pkg ");
    EXPECT_EQ(Sh("ls -A; cat pkg"), "pkg\nnew");
  }
}

TEST(UnusableTarget, RefusesWhatNoRenameCanReplace) {
  const struct { std::string path; bool unusable; } rows[] = {
      {"", true}, {"/tmp/mgmtfetch-absent-name/", true}, {".", true}, {"..", true}, {"/tmp", true},
      {std::string(256, 'x'), true}, {"/tmp/no-such-dir/x", false},
      {"/tmp/mgmtfetch-absent-name", false}, {"/etc/hostname", false},
  };
  for (const auto& r : rows) EXPECT_EQ(UnusableTarget(r.path), r.unusable) << r.path;
}

}  // namespace
