// Bad input to every command: malformed and truncated files, unsupported types, unknown names, bad
// numbers and limits, inconsistent graphs, sizes too large for the host and unwritable outputs. Each
// gives a clear message and exit status 2 before anything runs, never a crash, and leaves every
// file as it was: no output, not even a half-written one, and an existing one untouched. A run
// stopped by a memory ceiling ends the same way, with status 1.
#include <functional>

#include "Support.h"

using namespace clitest;

namespace {

// A file the case adds (a name ending in '/' is a directory), a fragment of the message and the
// command line: by default, a run with the file on input pin 0 and a good one on pin 1, or a check
// of the graph file; then the exit status and the environment.
struct Bad {
  std::string file, bytes, message, line = "";
  int status = 2;
  Args env = {};
};
void PrintTo(const Bad& c, std::ostream* os) { *os << c.file << ": " << c.message; }

const std::string kAdd = "run _AddImage --in 0=good.npy --in 1=good.npy ";
std::string good() { return npyBytes("|u1", {2, 3}, "abcdef"); }
// A graph of a file node "a", a node "ok" that writes a file (so that running anything would
// show) and the nodes given.
std::string nodes(const std::string& more) {
  return R"({"nodes": {"a": {"file": "good.npy"}, "ok": {"processor": "_AddImage", "in": ["a", "a"], )"
         R"("write": "ok.npy"}, )" +
         more + "}}";
}
std::string in(const std::string& links) { return nodes(R"("x": {"processor": "_AddImage", "in": [)" + links + "]}"); }
std::string add(const std::string& more) {
  return nodes(R"("x": {"processor": "_AddImage", "in": ["a", "a"])" + more + "}");
}

// The bytes the tests' own writers make.
template <class F>
std::string written(F&& write) {
  const fs::path p = fs::temp_directory_path() / ("rk_cli_written_" + std::to_string(getpid()));
  write(p);
  std::string bytes = readFile(p);
  fs::remove(p);
  return bytes;
}
std::string tiff(const std::vector<Page>& pages) {
  return written([&](const fs::path& p) { writeTiff(p, pages); });
}
std::string half(const std::string& s) { return s.substr(0, s.size() / 2); }
const Page kGrey{40, 30, 1, 8, 1, "", std::string(1200, '\x55')};
const Picture kGreyPicture{64, 64, 1, 8, std::vector<uint16_t>(64 * 64, 7), ""};

std::string randomBytes(std::size_t n) {
  std::string s;
  for (uint32_t x = 12345; s.size() < n;) s += static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  return s;
}

class BadInput : public Cli, public ::testing::WithParamInterface<Bad> {};

TEST_P(BadInput, ClearMessageItsStatusAndEveryFileAsItWas) {
  const Bad& c = GetParam();
  put("good.npy", good());
  put("out.npy", "previous contents");
  put("bin.json", R"({"processor": "_BinImage", "params": {"threshold": 50}})");
  put("ok.txt", "ok\n");
  if (!c.file.empty() && c.file.back() == '/') fs::create_directory(path(c.file));
  if (!c.file.empty() && c.file.back() != '/') put(c.file, c.bytes);
  const std::vector<std::string> before = files();
  std::vector<std::string> contents;
  for (const std::string& f : before) contents.push_back(readFile(path(f)));
  const std::string line = !c.line.empty() ? c.line
                           : c.file == "g.json"
                               ? "graph g.json"
                               : "run _AddImage --in 0=" + c.file + " --in 1=good.npy --out 0=out.npy --report r.json";
  EXPECT_TRUE(fails(run(line, c.env), c.status, c.message)) << line;
  ASSERT_EQ(files(), before) << "an output or temporary file was left behind";
  for (std::size_t i = 0; i < before.size(); ++i) EXPECT_EQ(readFile(path(before[i])), contents[i]) << before[i];
}

// TIFF pages the reader refuses stand apart, since the readers may learn them.
INSTANTIATE_TEST_SUITE_P(Tiff, BadInput,
                         ::testing::Values(Bad{"bad.tif", tiff({Page{2, 3, 1, 32, 1, "", std::string(24, '\1')}}),
                                               "32-bit unsigned samples"},
                                           Bad{"bad.tif",
                                               tiff({Page{2, 3, 1, 8, 1, "", "abcdef"},
                                                     Page{2, 3, 1, 32, 3, "", std::string(24, '\0')}}),
                                               "share one element type"}));

INSTANTIATE_TEST_SUITE_P(
    Files, BadInput,
    ::testing::Values(
        Bad{"bad.npy", npyBytes("<f4", {2, 3}, std::string(20, '\0')), "truncated"},
        Bad{"bad.npy", good().substr(0, 30), "truncated header"}, Bad{"bad.npy", "NUMPY" + good(), "not a .npy file"},
        Bad{"bad.npy", good().replace(20, 7, "$$$$$$$"), "malformed header"},
        Bad{"bad.npy", npyBytes("|O", {2, 3}, std::string(48, '\0')), "pickled"},
        Bad{"bad.npy", npyBytes("<i8", {2, 3}, std::string(48, '\0')), "dtype '<i8' is not supported"},
        Bad{"bad.npy", npyBytes("|u1", {6}, "abcdef"), "is not (Y, X), (Y, X, P)"},
        Bad{"bad.npy", npyBytes("<f8", {100000, 100000}, std::string(8, '\0')), "too large for the host"},
        Bad{"bad.npy", npyBytes("<f8", {40000, 40000, 1}, std::string(8, '\0')), "too large for the host"},
        Bad{"bad.npy", npyBytes("|u1", {2, 3}, "abcdefgh"), "bytes follow the data"},
        Bad{"bad.tif", half(tiff({kGrey})), "bad.tif"},
        Bad{"bad.tif", "II*" + std::string(1, '\0') + randomBytes(200), "bad.tif"},
        Bad{"bad.tif", tiff({kGrey}).replace(8, 64, std::string(64, '\xff')), "truncated or malformed"},
        Bad{"bad.png", half(written([](const fs::path& p) { writePng(p, kGreyPicture); })), "bad.png"},
        Bad{"bad.png", std::string("\x89PNG\r\n\x1a\n", 8) + randomBytes(100), "malformed PNG"},
        // A well-formed PNG header that claims 40000 x 40000 pixels.
        Bad{"bad.png",
            std::string("\x89PNG\r\n\x1a\n", 8) +
                pngChunk("IHDR", std::string("\0\0\x9c\x40\0\0\x9c\x40\x08\0\0\0\0", 13)) +
                pngChunk("IDAT", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8)) + pngChunk("IEND", ""),
            "more than the file can hold"},
        Bad{"bad.pgm", "P5\n4 4\n255\nabc", "truncated"}, Bad{"bad.pgm", "P5\nfour 4\n255\nabcd", "not a number"},
        Bad{"bad.pgm", "P2 2 1 10 3 20\n", "exceeds the maximum value"},
        Bad{"bad.pgm", std::string("P5\n3 1\n100\n\x0a\xc8\x0b", 15), "value 200 exceeds the maximum value 100"},
        // A matrix without elements still has its rows; a small file cannot claim millions of them.
        Bad{"bad.pgm", "P5\n0 200000\n255\n", "whose 200000 rows the file cannot hold"},
        Bad{"bad.pgm", "P5\n100 100\n255\n" + std::string(10000, '\x7f'), "10000 bytes",
            "run _NotImage --in 0=bad.pgm --out 0=x.pgm --max-matrix-bytes 5000"},
        Bad{"", "", "no such file", "run _AddImage --in 0=nothing.npy --in 1=good.npy --out 0=out.npy"},
        Bad{"bad.bmp", "BM", "unknown file format '.bmp'"}));

INSTANTIATE_TEST_SUITE_P(
    Arguments, BadInput,
    ::testing::Values(
        Bad{"", "", "unknown processor '_NoSuchThing' (kxrun list shows the catalogue)\n", "run _NoSuchThing"},
        Bad{"", "", "has no parameter 'gain'", kAdd + "--param gain=2"},
        Bad{"", "", "unknown element type 'float'", kAdd + "--out-type 0=float"},
        Bad{"", "", "unknown element type '256'", kAdd + "--in-type 0=256"},
        Bad{"", "", "'12abc' is not a number", "run _BinImage --in 0=good.npy --param threshold=12abc"},
        Bad{"", "", "is not a 32-bit integer", "run _ConstImage --param MCount=2,5"},
        Bad{"", "", "has 2 input pins (0 to 1)", kAdd + "--in 2=good.npy"},
        Bad{"", "", "expected N=VALUE", kAdd + "--out x=out.npy"},
        Bad{"", "", "twice", "run _AddImage --in 0=good.npy --in 0=good.npy"},
        Bad{"", "", "is required", "run _AddImage --in 0=good.npy"}, Bad{"", "", "--bogus", kAdd + "--bogus"},
        Bad{"", "", "cannot write here", kAdd + "--out 0=nowhere/out.npy"},
        Bad{"", "", "cannot write here", kAdd + "--out 0=good.npy/out.npy"},
        Bad{"", "", "cannot write here", kAdd + "--out 0=" + std::string(300, 'n') + ".npy"},
        Bad{"sub.npy/", "", "is a directory", kAdd + "--out 0=sub.npy"},
        Bad{"", "", "cannot write here", kAdd + "--report nowhere/r.json"},
        Bad{"", "", "holds 8-bit values", kAdd + "--out-type 0=int32 --out 0=out.png"},
        Bad{"two.npy", npyBytes("|u1", {2, 2, 3, 1}, "abcdefghijkl"), "holds one matrix, the stream holds 2",
            "run _AddImage --in 0=two.npy --in 1=two.npy --out 0=x.png"},
        Bad{"", "", "--max-matrix-bytes 12Q", kAdd + "--max-matrix-bytes 12Q"},
        Bad{"", "", "--max-matrix-bytes 0", kAdd + "--max-matrix-bytes 0"},
        Bad{"", "", "--max-matrix-bytes 1MX", kAdd + "--max-matrix-bytes 1MX"},
        Bad{"", "", "--max-run-bytes M5", kAdd + "--max-run-bytes M5"},
        Bad{"", "", "--max-run-bytes 99999999999999999999", kAdd + "--max-run-bytes 99999999999999999999"},
        Bad{"", "", "--max-run-bytes 17179869184T", kAdd + "--max-run-bytes 17179869184T"},
        Bad{"", "", "--threads two: expected a thread count, 0 for every core", kAdd + "--threads two"},
        Bad{"", "", "--threads 5000: expected a thread count from 0 to 4096", kAdd + "--threads 5000"},
        Bad{"", "", "RK_THREADS -1: expected a thread count", kAdd, 2, {"RK_THREADS=-1"}}));

// 2000 x 1000 uint8 elements take 2000000 bytes; each 512 x 512 matrix 262144 bytes and 4096 bytes
// of row pointers, so that three fit in 1 MiB.
INSTANTIATE_TEST_SUITE_P(
    Ceilings, BadInput,
    ::testing::Values(Bad{"", "",
                          "a matrix of 2000 x 1000 x 1 elements (2000000 bytes) exceeds the host's limit of 1048576 "
                          "bytes per matrix",
                          "run _ConstImage --param X=2000 --param Y=1000 --out 0=big.npy --max-matrix-bytes 1M", 1},
                      Bad{"", "",
                          "output matrix 3 of 512 x 512 x 1 elements (266240 bytes) would bring this run's "
                          "allocations to 1064960 bytes, beyond the host's allocation limit of 1048576 bytes per run",
                          "run _ConstImage --param MCount=5 --param X=512 --param Y=512 --out 0=many.tif "
                          "--max-run-bytes 1MiB",
                          1}));

INSTANTIATE_TEST_SUITE_P(
    Configure, BadInput,
    ::testing::Values(Bad{"p.json", R"({"processor": "_ConstImage", "params": {}})",
                          "for _ConstImage, not for _BinImage", "configure _BinImage --params p.json --script ok.txt"},
                      Bad{"p.json", R"({"processor": "_BinImage", "params": {"threshold": "high"}})",
                          "p.json: params.threshold: 'high' is not a number",
                          "configure _BinImage --params p.json --script ok.txt"},
                      Bad{"", "", "_AddImage has no dialog", "configure _AddImage --params p.json --script ok.txt"},
                      Bad{"", "", "unknown processor '_Nothing'", "configure _Nothing --script ok.txt"},
                      Bad{"", "", "no display: the DISPLAY environment variable is not set (--script",
                          "configure _BinImage --params new.json", 2, Args{"DISPLAY="}},
                      Bad{"s.txt", "type 1005 100\n", "s.txt:1: the actions ran out while dialog 130",
                          "configure _BinImage --params bin.json --script s.txt"},
                      Bad{"s.txt", "click 4711\nok\n", "s.txt:1: cannot click control 4711",
                          "configure _BinImage --params bin.json --script s.txt"},
                      Bad{"g.json", add(""), "there is no node 'nobody'", "configure g.json nobody --script ok.txt"},
                      Bad{"g.json", add(""), "not a processor node", "configure g.json a --script ok.txt"},
                      Bad{"g.json", add(""), "for _BinImage, not for _AddImage", "graph g.json --params x=bin.json"}));

INSTANTIATE_TEST_SUITE_P(
    Graph, BadInput,
    ::testing::Values(
        Bad{"", "", "nothing.json: no such graph file\n", "graph nothing.json"},
        Bad{"g.json", nodes(R"("x": {"processor": "_Frobnicate"})"),
            "node 'x', field \"processor\": unknown processor '_Frobnicate'"},
        Bad{"g.json", add(R"(, "params": {"gain": 1})"),
            "node 'x', field \"params.gain\": unknown parameter of _AddImage"},
        Bad{"g.json", in(R"("a", "a", "a")"), "node 'x', field \"in\": _AddImage has 2 input pins"},
        Bad{"g.json", in(R"("a", "a.1")"), "node 'x', field \"in\": 'a.1': node 'a' has 1 output pin"},
        Bad{"g.json", in(R"("a", "nope")"), "node 'x', field \"in\": 'nope': there is no node 'nope'"},
        Bad{"g.json", in(R"("a")"), "node 'x', field \"in\": input pin 1 (\"Bilddaten\") of _AddImage must be linked"},
        Bad{"g.json",
            nodes(
                R"("x": {"processor": "_AddImage", "in": ["y", "a"]}, "y": {"processor": "_SubImage", "in": ["a", "x"]})"),
            "the links form a cycle: "},
        Bad{"g.json", in(R"("x", "a")"), "node 'x', field \"in\": the links form a cycle: x -> x"},
        Bad{"g.json", nodes(R"("m": {"file": "missing.npy"})"),
            "node 'm', field \"file\": ./missing.npy: no such file"},
        Bad{"g.json", nodes(R"("m": {"file": "out.npy"})"), "node 'm', field \"file\": ./out.npy: not a .npy file"},
        Bad{"g.json", add(R"(, "parms": {})"), "node 'x', field \"parms\": unknown field"},
        Bad{"g.json", add(R"(, "out-type": "double")"), "node 'x', field \"out-type\": "},
        Bad{"g.json", add(R"(, "out-type": "float32", "write": "x.png")"), "node 'x', field \"write\": "},
        Bad{"g.json", add(R"(, "write": "good.npy/x.npy")"), "node 'x', field \"write\": "},
        Bad{"g.json", add(R"(, "write": ")" + std::string(300, 'n') + R"(.npy")"), "node 'x', field \"write\": "},
        Bad{"g.json", add(R"(, "write": "ok.npy")"), "is written by node 'ok' too"},
        Bad{"g.json", nodes(R"("x y": {"processor": "_AddImage", "in": ["a", "a"]})"),
            "node 'x y': a node name consists of"},
        Bad{"g.json", nodes(R"("x": {"processor": "_AddImage", "file": "a.npy"})"), "node 'x': a node has either"},
        Bad{"g.json", R"({"nodes": {"a": {"file": "good.npy"}, "a": {"file": "good.npy"}}})", "appears twice"},
        Bad{"g.json", R"({"nodes": {"a": {"file": "good.npy"},}})", "g.json: parse error at line 1"},
        Bad{"g.json", R"({"nodez": {}})", "field \"nodez\": unknown field"},
        Bad{"g.json", add(""), "has no node 'y'", "graph g.json --set y.scalar=1"},
        Bad{"g.json", add(""), "_AddImage has no parameter 'gain'", "graph g.json --set x.gain=1"},
        Bad{"g.json", add(""), "expected NODE.PARAM=VALUE", "graph g.json --set x=1"}));

TEST_F(Cli, OutputsThatCannotBeWrittenAfterTheRunGiveStatusTwoButTheOthersAreWritten) {
  put("rgb.npy", npyBytes("|u1", {3, 1, 2, 3}, std::string(18, '\x09')));
  EXPECT_TRUE(fails(run("run _RGBSplitt --in 0=rgb.npy --out 0=red.png --out 1=green.npy"), 2,
                    "holds one matrix, the stream holds 3"));
  EXPECT_FALSE(fs::exists(path("red.png")));
  EXPECT_EQ(readNpy(path("green.npy")).shape, (std::vector<int64_t>{3, 1, 2, 1}));
}

}  // namespace
