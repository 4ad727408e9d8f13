// An interrupted kxrun leaves neither a half-written output nor a temporary file, and ends by the
// signal. A test hook makes the writer stop once its temporary file is complete, just before the
// rename, so that the signal arrives at the one moment that matters.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Support.h"

using namespace clitest;

namespace {

class Interrupted : public Cli, public ::testing::WithParamInterface<int> {
protected:
  // Starts kxrun with the hook, waits for it to pause, checks the files then and returns the wait
  // status after the signal.
  int interrupt(const std::string& line, const std::function<void()>& whilePaused) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    const pid_t pid = spawn(KXRUN_PATH, words(line), dir_, {"KXRUN_TEST_PAUSE_BEFORE_RENAME=1"}, fds[1], fds[1]);
    close(fds[1]);
    std::string text;
    for (char c; text.find("pausing: ") == std::string::npos || text.back() != '\n';) {
      if (read(fds[0], &c, 1) != 1) break;
      text += c;
    }
    close(fds[0]);
    EXPECT_NE(text.find("pausing: "), std::string::npos) << text;
    whilePaused();
    kill(pid, GetParam());
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == GetParam()) << status << text;
    return status;
  }
};

TEST_P(Interrupted, RunLeavesNoFileAndEndsByTheSignal) {
  interrupt("run _ConstImage --param X=1000 --param Y=1000 --out 0=out.npy", [&] {
    // The complete temporary file is there, under a hidden name, and the target is not.
    const std::vector<std::string> now = files();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0].rfind(".out.npy.tmp-", 0), 0u) << now[0];
    EXPECT_GT(fs::file_size(path(now[0])), 1000000u);
  });
  EXPECT_TRUE(files().empty());
}

TEST_P(Interrupted, GraphRemovesEveryTemporaryAndKeepsTheOldTarget) {
  put("old.npy", "the file from before");
  put("g.json", R"({"nodes": {
      "a": {"processor": "_ConstImage", "params": {"X": 20, "Y": 10}, "write": "old.npy"},
      "b": {"processor": "_ConstImage", "params": {"X": 30, "Y": 10}, "write": "b.npy"}}})");
  // Both temporary files exist from the start: a graph's outputs are created before it runs.
  interrupt("graph g.json --no-progress", [&] { EXPECT_EQ(files().size(), 4u); });
  EXPECT_EQ(files(), (Args{"g.json", "old.npy"}));
  EXPECT_EQ(readFile(path("old.npy")), "the file from before");
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

}  // namespace
