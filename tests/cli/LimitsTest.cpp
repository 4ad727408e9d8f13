// kxrun's memory ceilings: --max-matrix-bytes and --max-run-bytes on run and graph. A request beyond
// them ends the run with a message that names the sizes, a non-zero status and no output file.
#include <string>
#include <vector>

#include "Support.h"

namespace clitest {
namespace {

bool mentions(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Limits : public Cli {
protected:
  void SetUp() override {
    Cli::SetUp();
    if (!available("_ConstImage")) GTEST_SKIP() << "_ConstImage is not built";
  }
};

TEST_F(Limits, OneMatrixBeyondTheMatrixCeilingIsRefused) {
  // 2000 x 1000 uint8 elements: 2000000 bytes.
  Outcome o = run({"run", "_ConstImage", "--param", "X=2000", "--param", "Y=1000", "--out", "0=big.npy",
                   "--max-matrix-bytes", "1M"});
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_TRUE(mentions(o.err, "2000 x 1000 x 1 elements (2000000 bytes)")) << o.err;
  EXPECT_TRUE(mentions(o.err, "limit of 1048576 bytes per matrix")) << o.err;
  EXPECT_TRUE(files().empty());
  // Below the ceiling the same run writes its file.
  Outcome ok = run({"run", "_ConstImage", "--param", "X=2000", "--param", "Y=1000", "--out", "0=big.npy",
                    "--max-matrix-bytes", "2000000"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(files(), std::vector<std::string>{"big.npy"});
}

TEST_F(Limits, MatricesTogetherBeyondTheRunCeilingAreRefused) {
  // Each 512 x 512 matrix takes 262144 bytes and 4096 bytes of row pointers: three fit in 1 MiB.
  Outcome o = run({"run", "_ConstImage", "--param", "MCount=5", "--param", "X=512", "--param", "Y=512", "--out",
                   "0=many.tif", "--max-run-bytes", "1MiB"});
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_TRUE(mentions(o.err, "output matrix 3 of 512 x 512 x 1 elements (266240 bytes)")) << o.err;
  EXPECT_TRUE(mentions(o.err, "allocations to 1064960 bytes")) << o.err;
  EXPECT_TRUE(mentions(o.err, "limit of 1048576 bytes per run")) << o.err;
  EXPECT_TRUE(files().empty());
}

TEST_F(Limits, AGraphNodeBeyondTheCeilingWritesNothing) {
  writeFile(path("g.json"), R"({"nodes": {
      "small": {"processor": "_ConstImage", "params": {"X": 10, "Y": 10}, "write": "small.npy"},
      "big":   {"processor": "_ConstImage", "params": {"X": 300, "Y": 300}, "write": "big.npy"}}})");
  Outcome o = run({"graph", "g.json", "--max-matrix-bytes", "64K"});
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_TRUE(mentions(o.err, "node 'big'")) << o.err;
  EXPECT_TRUE(mentions(o.err, "(90000 bytes) exceeds the host's limit of 65536 bytes per matrix")) << o.err;
  // The node before it ran and wrote its file; the refused one left nothing.
  EXPECT_EQ(files(), (std::vector<std::string>{"g.json", "small.npy"}));
}

TEST_F(Limits, AFileBeyondTheMatrixCeilingIsNotRead) {
  writeFile(path("in.pgm"), "P5\n100 100\n255\n" + std::string(10000, '\x7f'));
  Outcome o = run({"run", "_NotImage", "--in", "0=in.pgm", "--out", "0=out.pgm", "--max-matrix-bytes", "5000"});
  EXPECT_EQ(o.status, 2) << o.err;
  EXPECT_TRUE(mentions(o.err, "10000 bytes")) << o.err;
  EXPECT_EQ(files(), std::vector<std::string>{"in.pgm"});
}

class BadLimit : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BadLimit, IsAUsageError) {
  const fs::path dir = fs::temp_directory_path();
  std::vector<std::string> args = {"run", "_ConstImage", "--out", "0=never.npy"};
  args.insert(args.end(), GetParam().begin(), GetParam().end());
  Outcome o = kxrun(args, dir);
  EXPECT_EQ(o.status, 2) << o.err;
  EXPECT_TRUE(mentions(o.err, GetParam()[0] + " " + GetParam()[1])) << o.err;
  EXPECT_FALSE(fs::exists(dir / "never.npy"));
}

INSTANTIATE_TEST_SUITE_P(Values, BadLimit,
                         ::testing::Values(std::vector<std::string>{"--max-matrix-bytes", "12Q"},
                                           std::vector<std::string>{"--max-matrix-bytes", "0"},
                                           std::vector<std::string>{"--max-run-bytes", "M5"},
                                           std::vector<std::string>{"--max-run-bytes", "99999999999999999999"},
                                           std::vector<std::string>{"--max-run-bytes", "17179869184T"},
                                           std::vector<std::string>{"--max-matrix-bytes", "1MX"}));

}  // namespace
}  // namespace clitest
