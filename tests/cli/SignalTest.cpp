// An interrupted kxrun leaves neither a half-written output nor a temporary file, and ends by the
// signal. A test hook makes the writer stop once its temporary file is complete, just before the
// rename, so that the signal arrives at the one moment that matters.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Support.h"

namespace clitest {
namespace {

// kxrun started in `cwd` with the test hook set; stderr comes back through a pipe.
class Paused {
public:
  Paused(const std::vector<std::string>& args, const fs::path& cwd) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return;
    std::vector<std::string> argStore = {KXRUN_PATH};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      if (chdir(cwd.c_str()) != 0) _exit(126);
      dup2(pipeFds[1], 2);
      close(pipeFds[0]);
      close(pipeFds[1]);
      setenv("KXRUN_TEST_PAUSE_BEFORE_RENAME", "1", 1);
      setenv("KX_PLUGIN", RK_PLUGIN_PATH, 1);
      // The test's own handling of the signals must not be inherited.
      signal(SIGINT, SIG_DFL);
      signal(SIGTERM, SIG_DFL);
      signal(SIGHUP, SIG_DFL);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(pipeFds[1]);
    err_ = pipeFds[0];
  }
  ~Paused() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (err_ >= 0) close(err_);
  }

  // Reads stderr up to the hook's line; false when the program ended first.
  bool waitForPause() {
    char c;
    while (read(err_, &c, 1) == 1) {
      text_ += c;
      if (c == '\n' && text_.find("pausing: ") != std::string::npos) return true;
    }
    return false;
  }
  // Sends the signal and returns the wait status.
  int interrupt(int signal) {
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return status;
  }
  const std::string& text() const { return text_; }

private:
  pid_t pid_ = -1;
  int err_ = -1;
  bool reaped_ = false;
  std::string text_;
};

class Interrupted : public Cli, public ::testing::WithParamInterface<int> {};

TEST_P(Interrupted, RunLeavesNoFileAndEndsByTheSignal) {
  if (!available("_ConstImage")) GTEST_SKIP() << "_ConstImage is not built";
  Paused kx({"run", "_ConstImage", "--param", "X=1000", "--param", "Y=1000", "--out", "0=out.npy"}, dir_);
  ASSERT_TRUE(kx.waitForPause()) << kx.text();
  // The complete temporary file is there, under a hidden name, and the target is not.
  std::vector<std::string> before = files();
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(before[0].rfind(".out.npy.tmp-", 0), 0u) << before[0];
  EXPECT_GT(fs::file_size(path(before[0])), 1000000u);
  const int status = kx.interrupt(GetParam());
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), GetParam());
  EXPECT_TRUE(files().empty());
}

TEST_P(Interrupted, GraphRemovesEveryTemporaryAndKeepsTheOldTarget) {
  if (!available("_ConstImage")) GTEST_SKIP() << "_ConstImage is not built";
  writeFile(path("old.npy"), "the file from before");
  writeFile(path("g.json"), R"({"nodes": {
      "a": {"processor": "_ConstImage", "params": {"X": 20, "Y": 10}, "write": "old.npy"},
      "b": {"processor": "_ConstImage", "params": {"X": 30, "Y": 10}, "write": "b.npy"}}})");
  Paused kx({"graph", "g.json", "--no-progress"}, dir_);
  ASSERT_TRUE(kx.waitForPause()) << kx.text();
  // Both temporary files exist from the start: a graph's outputs are created before it runs.
  EXPECT_EQ(files().size(), 4u);
  const int status = kx.interrupt(GetParam());
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), GetParam());
  EXPECT_EQ(files(), (std::vector<std::string>{"g.json", "old.npy"}));
  EXPECT_EQ(readFile(path("old.npy")), "the file from before");
}

INSTANTIATE_TEST_SUITE_P(
    Signals, Interrupted, ::testing::Values(SIGINT, SIGTERM, SIGHUP), [](const ::testing::TestParamInfo<int>& info) {
      return std::string(info.param == SIGINT ? "SIGINT" : info.param == SIGTERM ? "SIGTERM" : "SIGHUP");
    });

}  // namespace
}  // namespace clitest
