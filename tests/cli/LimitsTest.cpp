// kxrun's memory ceilings: --max-matrix-bytes and --max-run-bytes on run and graph. A request beyond
// them ends the run with a message that names the sizes, status 1 and no output file. Bad ceilings
// and files beyond them are among the bad inputs.
#include "Support.h"

using namespace clitest;

namespace {

TEST_F(Cli, OneMatrixBeyondTheMatrixCeilingIsRefused) {
  // 2000 x 1000 uint8 elements: 2000000 bytes.
  const std::string line = "run _ConstImage --param X=2000 --param Y=1000 --out 0=big.npy --max-matrix-bytes ";
  Outcome o = run(line + "1M");
  EXPECT_TRUE(fails(o, 1, "2000 x 1000 x 1 elements (2000000 bytes)"));
  EXPECT_TRUE(fails(o, 1, "limit of 1048576 bytes per matrix"));
  EXPECT_TRUE(files().empty());
  // At the ceiling the same run writes its file.
  ok(line + "2000000");
  EXPECT_EQ(files(), Args{"big.npy"});
}

TEST_F(Cli, MatricesTogetherBeyondTheRunCeilingAreRefused) {
  // Each 512 x 512 matrix takes 262144 bytes and 4096 bytes of row pointers: three fit in 1 MiB.
  Outcome o = run("run _ConstImage --param MCount=5 --param X=512 --param Y=512 --out 0=many.tif --max-run-bytes 1MiB");
  EXPECT_TRUE(fails(o, 1, "output matrix 3 of 512 x 512 x 1 elements (266240 bytes)"));
  EXPECT_TRUE(fails(o, 1, "allocations to 1064960 bytes"));
  EXPECT_TRUE(fails(o, 1, "limit of 1048576 bytes per run"));
  EXPECT_TRUE(files().empty());
}

TEST_F(Cli, AGraphNodeBeyondTheCeilingWritesNothing) {
  put("g.json", R"({"nodes": {
      "small": {"processor": "_ConstImage", "params": {"X": 10, "Y": 10}, "write": "small.npy"},
      "big":   {"processor": "_ConstImage", "params": {"X": 300, "Y": 300}, "write": "big.npy"}}})");
  Outcome o = run("graph g.json --max-matrix-bytes 64K");
  EXPECT_TRUE(fails(o, 1, "node 'big'"));
  EXPECT_TRUE(fails(o, 1, "(90000 bytes) exceeds the host's limit of 65536 bytes per matrix"));
  // The node before it ran and wrote its file; the refused one left nothing.
  EXPECT_EQ(files(), (Args{"g.json", "small.npy"}));
}

TEST_F(Cli, ThreadCountsComeFromTheOptionOrRkThreads) {
  const std::string line = "run _ConstImage --out 0=c.npy";
  EXPECT_TRUE(fails(run(line + " --threads two"), 2, "--threads two: expected a thread count"));
  EXPECT_TRUE(fails(run(line + " --threads 5000"), 2, "from 0 to 4096"));
  EXPECT_TRUE(fails(run(line, {"RK_THREADS=-1"}), 2, "RK_THREADS -1: expected a thread count"));
  // The option wins over the variable.
  EXPECT_EQ(run(line + " --threads 3", {"RK_THREADS=x"}).status, 0);
}

}  // namespace
