// Bad input: malformed and truncated files, unsupported types, unknown names, bad numbers, sizes too
// large for the host and unwritable outputs. Each gives a clear message and exit status 2, never a
// crash, and leaves no output file, not even a half-written one.
#include <functional>

#include "Support.h"

using namespace clitest;

namespace {

uint32_t crc32(const std::string& bytes) {
  uint32_t c = 0xffffffffu;
  for (unsigned char b : bytes) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
  }
  return ~c;
}

std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string pngChunk(const std::string& type, const std::string& data) {
  return be32(static_cast<uint32_t>(data.size())) + type + data + be32(crc32(type + data));
}

// A well-formed PNG header that claims 40000 x 40000 pixels.
std::string hugePng() {
  std::string ihdr = be32(40000) + be32(40000) + std::string("\x08\x00\x00\x00\x00", 5);
  return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr) +
         pngChunk("IDAT", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8)) + pngChunk("IEND", "");
}

std::string validNpy() { return npyBytes("|u1", {2, 3}, "abcdef"); }

using Setup = std::function<void(const fs::path& dir)>;

struct BadCase {
  std::string name;
  Setup setup;
  std::vector<std::string> args;
  std::string message;  // a fragment of the error message
};

// The usual run with the bad file on input pin 0 and a good one on pin 1.
std::vector<std::string> addWith(const std::string& bad) {
  return {"run", "_AddImage", "--in", "0=" + bad, "--in", "1=good.npy", "--out", "0=out.npy", "--report", "r.json"};
}

Setup file(const std::string& name, std::function<std::string(const fs::path&)> bytes) {
  return [name, bytes](const fs::path& dir) { writeFile(dir / name, bytes(dir)); };
}
Setup npy(const std::string& descr, std::vector<int64_t> shape, std::string data) {
  return file("bad.npy", [=](const fs::path&) { return npyBytes(descr, shape, data); });
}
Setup tiffWith(std::vector<Page> pages, std::function<std::string(std::string)> damage = nullptr) {
  return [=](const fs::path& dir) {
    writeTiff(dir / "bad.tif", pages);
    if (damage) writeFile(dir / "bad.tif", damage(readFile(dir / "bad.tif")));
  };
}
Page grey(uint32_t w, uint32_t h) { return Page{w, h, 1, 8, 1, "", std::string(w * h, '\x55')}; }

std::string randomBytes(std::size_t n) {
  std::string s;
  uint32_t x = 12345;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  return s;
}

class BadInput : public Cli, public ::testing::WithParamInterface<BadCase> {};

TEST_P(BadInput, ClearMessageStatusTwoAndNoOutput) {
  const BadCase& c = GetParam();
  writeFile(path("good.npy"), validNpy());
  if (c.setup) c.setup(dir_);
  std::vector<std::string> before = files();
  Outcome o = run(c.args);
  EXPECT_EQ(o.status, 2) << o.err;
  EXPECT_EQ(o.err.rfind("error: ", 0), 0u) << o.err;
  EXPECT_NE(o.err.find(c.message), std::string::npos) << "expected \"" << c.message << "\" in: " << o.err;
  EXPECT_EQ(files(), before) << "an output or temporary file was left behind";
}

const Picture kGreyPicture{64, 64, 1, 8, std::vector<uint16_t>(64 * 64, 7), ""};

INSTANTIATE_TEST_SUITE_P(
    Files, BadInput,
    ::
        testing::Values(BadCase{"npy_truncated_data", npy("<f4", {2, 3}, std::string(20, '\0')), addWith("bad.npy"),
                                "truncated"},
                        BadCase{"npy_truncated_header", file("bad.npy", [](auto&) { return validNpy().substr(0, 30); }),
                                addWith("bad.npy"), "truncated header"},
                        BadCase{"npy_no_magic", file("bad.npy", [](auto&) { return "NUMPY" + validNpy(); }),
                                addWith("bad.npy"), "not a .npy file"},
                        BadCase{"npy_malformed_header",
                                file("bad.npy",
                                     [](auto&) {
                                       return npyBytes("|u1", {2, 3}, "abcdef").replace(20, 7, "$$$$$$$");
                                     }),
                                addWith("bad.npy"), "malformed header"},
                        BadCase{"npy_pickled_objects", npy("|O", {2, 3}, std::string(48, '\0')), addWith("bad.npy"),
                                "pickled"},
                        BadCase{"npy_int64", npy("<i8", {2, 3}, std::string(48, '\0')), addWith("bad.npy"),
                                "dtype '<i8' is not supported"},
                        BadCase{"npy_one_dimension", npy("|u1", {6}, "abcdef"), addWith("bad.npy"),
                                "is not (Y, X), (Y, X, P)"},
                        BadCase{"npy_beyond_32_bit_count", npy("<f8", {100000, 100000}, std::string(8, '\0')),
                                addWith("bad.npy"), "too large for the host"},
                        BadCase{"npy_beyond_matrix_limit", npy("<f8", {40000, 40000, 1}, std::string(8, '\0')),
                                addWith("bad.npy"), "too large for the host"},
                        BadCase{"npy_trailing_bytes", npy("|u1", {2, 3}, "abcdefgh"), addWith("bad.npy"),
                                "bytes follow the data"},
                        BadCase{"tif_cut_in_half",
                                tiffWith({grey(40, 30)}, [](std::string s) { return s.substr(0, s.size() / 2); }),
                                addWith("bad.tif"), "bad.tif"},
                        BadCase{"tif_garbage",
                                file("bad.tif", [](auto&) { return "II*" + std::string(1, '\0') + randomBytes(200); }),
                                addWith("bad.tif"), "bad.tif"},
                        BadCase{
                            "tif_damaged_strips",
                            tiffWith(
                                {grey(40, 30)}, [](std::string s) { return s.replace(8, 64, std::string(64, '\xff')); }),
                            addWith("bad.tif"), "truncated or malformed"},
                        BadCase{"tif_unsigned_32_bit", tiffWith({Page{2, 3, 1, 32, 1, "", std::string(24, '\1')}}),
                                addWith("bad.tif"), "32-bit unsigned samples"},
                        BadCase{"tif_mixed_types",
                                tiffWith({grey(2, 3), Page{2, 3, 1, 32, 3, "", std::string(24, '\0')}}),
                                addWith("bad.tif"), "share one element type"},
                        BadCase{
                            "png_cut_in_half",
                            [](const fs::path& dir) {
                              writePng(dir / "bad.png", kGreyPicture);
                              std::string s = readFile(dir / "bad.png");
                              writeFile(dir / "bad.png", s.substr(0, s.size() / 2));
                            },
                            addWith("bad.png"), "bad.png"},
                        BadCase{"png_garbage",
                                file("bad.png",
                                     [](auto&) { return std::string("\x89PNG\r\n\x1a\n", 8) + randomBytes(100); }),
                                addWith("bad.png"), "malformed PNG"},
                        BadCase{"png_claims_too_many_pixels", file("bad.png", [](auto&) { return hugePng(); }),
                                addWith("bad.png"), "more than the file can hold"},
                        BadCase{"pgm_truncated",
                                file("bad.pgm", [](auto&) { return std::string("P5\n4 4\n255\nabc"); }),
                                addWith("bad.pgm"), "truncated"},
                        BadCase{"pgm_bad_header",
                                file("bad.pgm", [](auto&) { return std::string("P5\nfour 4\n255\nabcd"); }),
                                addWith("bad.pgm"), "not a number"},
                        BadCase{"pgm_value_above_maximum",
                                file("bad.pgm", [](auto&) { return std::string("P2 2 1 10 3 20\n"); }),
                                addWith("bad.pgm"), "exceeds the maximum value"},
                        BadCase{"missing_file", nullptr, addWith("nothing.npy"), "no such file"},
                        BadCase{"unknown_format", file("bad.bmp", [](auto&) { return std::string("BM"); }),
                                addWith("bad.bmp"), "unknown file format '.bmp'"}),
    [](const auto& info) { return info.param.name; });

std::vector<std::string> add(std::vector<std::string> extra) {
  std::vector<std::string> args = {"run", "_AddImage", "--in", "0=good.npy", "--in", "1=good.npy"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, BadInput,
    ::testing::Values(
        BadCase{"unknown_entry", nullptr, {"run", "_NoSuchThing"}, "unknown processor '_NoSuchThing'"},
        BadCase{"unknown_parameter", nullptr, add({"--param", "gain=2"}), "has no parameter 'gain'"},
        BadCase{"unknown_type_name", nullptr, add({"--out-type", "0=float"}), "unknown element type 'float'"},
        BadCase{"type_code_out_of_range", nullptr, add({"--in-type", "0=256"}), "unknown element type '256'"},
        BadCase{"bad_number",
                nullptr,
                {"run", "_BinImage", "--in", "0=good.npy", "--param", "threshold=12abc"},
                "'12abc' is not a number"},
        BadCase{"fraction_for_an_integer_parameter",
                nullptr,
                {"run", "_ConstImage", "--param", "MCount=2,5"},
                "is not a 32-bit integer"},
        BadCase{"pin_beyond_the_processor", nullptr, add({"--in", "2=good.npy"}), "has 2 input pins (0 to 1)"},
        BadCase{"pin_not_a_number", nullptr, add({"--out", "x=out.npy"}), "expected N=VALUE"},
        BadCase{"pin_given_twice", nullptr, {"run", "_AddImage", "--in", "0=good.npy", "--in", "0=good.npy"}, "twice"},
        BadCase{"required_input_missing", nullptr, {"run", "_AddImage", "--in", "0=good.npy"}, "is required"},
        BadCase{"unknown_option", nullptr, add({"--bogus"}), "--bogus"},
        BadCase{"output_in_missing_directory", nullptr, add({"--out", "0=nowhere/out.npy"}), "cannot write here"},
        BadCase{"output_below_a_file", nullptr, add({"--out", "0=good.npy/out.npy"}), "cannot write here"},
        BadCase{"output_is_a_directory", [](const fs::path& dir) { fs::create_directory(dir / "sub.npy"); },
                add({"--out", "0=sub.npy"}), "is a directory"},
        BadCase{"report_in_missing_directory", nullptr, add({"--report", "nowhere/r.json"}), "cannot write here"},
        BadCase{"type_the_format_cannot_hold", nullptr, add({"--out-type", "0=int32", "--out", "0=out.png"}),
                "holds 8-bit values"},
        BadCase{"stream_the_format_cannot_hold",
                file("two.npy",
                     [](auto&) {
                       return npyBytes("|u1", {2, 2, 3, 1}, "abcdefghijkl");
                     }),
                {"run", "_AddImage", "--in", "0=two.npy", "--in", "1=two.npy", "--out", "0=out.png"},
                "holds one matrix, the stream holds 2"}),
    [](const auto& info) { return info.param.name; });

TEST_F(Cli, AFailingRunLeavesAnExistingOutputUntouched) {
  writeFile(path("good.npy"), validNpy());
  writeFile(path("out.npy"), "previous contents");
  writeFile(path("bad.npy"), npyBytes("<f4", {2, 3}, "short"));
  Outcome o = run(addWith("bad.npy"));
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(readFile(path("out.npy")), "previous contents");
}

TEST_F(Cli, OutputsThatCannotBeWrittenAfterTheRunGiveStatusTwoButTheOthersAreWritten) {
  if (!available("_RGBSplitt")) GTEST_SKIP() << "_RGBSplitt is not in this build";
  writeFile(path("rgb.npy"), npyBytes("|u1", {3, 1, 2, 3}, std::string(18, '\x09')));
  Outcome o = run({"run", "_RGBSplitt", "--in", "0=rgb.npy", "--out", "0=red.png", "--out", "1=green.npy"});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("holds one matrix, the stream holds 3"), std::string::npos) << o.err;
  EXPECT_FALSE(fs::exists(path("red.png")));
  EXPECT_EQ(readNpy(path("green.npy")).shape, (std::vector<int64_t>{3, 1, 2, 1}));
}

// A matrix without elements still has its rows; a small file cannot claim millions of them.
TEST_F(Cli, RowsWithoutElementsBeyondTheFileAreRefused) {
  writeFile(path("tall.pgm"), "P5\n0 200000\n255\n");
  Outcome o = run({"run", "_NotImage", "--in", "0=tall.pgm", "--out", "0=out.pgm"});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("whose 200000 rows the file cannot hold"), std::string::npos) << o.err;
  writeFile(path("flat.pgm"), "P5\n0 5\n255\n");
  EXPECT_EQ(run({"run", "_NotImage", "--in", "0=flat.pgm", "--out", "0=out.npy"}).status, 0);
}

// A name beyond the file system's limit cannot be resolved: a usage error, for a run and a graph.
TEST_F(Cli, AnOutputNameTooLongIsAUsageError) {
  const std::string name = std::string(300, 'n') + ".npy";
  Outcome o = run({"run", "_ConstImage", "--out", "0=" + name});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("cannot write here"), std::string::npos) << o.err;
  writeFile(path("g.json"), R"({"nodes": {"c": {"processor": "_ConstImage", "write": ")" + name + R"("}}})");
  Outcome g = run({"graph", "g.json"});
  EXPECT_EQ(g.status, 2);
  EXPECT_NE(g.err.find("node 'c', field \"write\""), std::string::npos) << g.err;
  EXPECT_EQ(files(), std::vector<std::string>{"g.json"});
}

}  // namespace
