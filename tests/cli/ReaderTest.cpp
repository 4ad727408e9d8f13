// kxrun's readers on files larger than their read buffers: the data goes straight into the host's
// matrices, piece by piece or widened in place, and every element must land where it belongs.
#include <sstream>

#include "Support.h"

using namespace clitest;

namespace {

// Values of all 16 bits that differ from their neighbours in both bytes.
uint16_t sample(uint32_t k) { return static_cast<uint16_t>((k * 2654435761u) >> 13); }

class Readers : public Cli {
protected:
  // Adds a zero int32 array of the shape to the file and returns the int32 result of _AddImage.
  std::vector<int32_t> readBack(const std::string& in, const std::vector<int64_t>& shape) {
    int64_t count = 1;
    for (int64_t d : shape) count *= d;
    writeFile(path("zero.npy"), npyBytes("<i4", shape, std::string(static_cast<std::size_t>(count) * 4, '\0')));
    Outcome o = run(
        {"run", "_AddImage", "--in", "0=" + in, "--in", "1=zero.npy", "--out-type", "0=int32", "--out", "0=out.npy"});
    EXPECT_EQ(o.status, 0) << o.err;
    return readNpy(path("out.npy")).values<int32_t>();
  }
};

TEST_F(Readers, FortranOrderNpyOfSeveralPiecesIsScatteredToEveryMatrix) {
  // 270000 int32 elements, more than one 1 MiB piece; (i, y, x, p) encoded in the value.
  const int64_t N = 2, Y = 150, X = 300, P = 3;
  auto value = [](int64_t i, int64_t y, int64_t x, int64_t p) {
    return static_cast<int32_t>(i * 10000000 + y * 30000 + x * 10 + p);
  };
  std::vector<int32_t> expected;
  for (int64_t i = 0; i < N; ++i)
    for (int64_t y = 0; y < Y; ++y)
      for (int64_t x = 0; x < X; ++x)
        for (int64_t p = 0; p < P; ++p) expected.push_back(value(i, y, x, p));
  for (bool bigEndian : {false, true}) {
    std::string data;
    for (int64_t p = 0; p < P; ++p)
      for (int64_t x = 0; x < X; ++x)
        for (int64_t y = 0; y < Y; ++y)
          for (int64_t i = 0; i < N; ++i) {
            auto v = static_cast<uint32_t>(value(i, y, x, p));
            for (int b = 0; b < 4; ++b) data += static_cast<char>(v >> (bigEndian ? 24 - 8 * b : 8 * b));
          }
    writeFile(path("f.npy"), npyBytes(bigEndian ? ">i4" : "<i4", {N, Y, X, P}, data, true));
    EXPECT_EQ(readBack("f.npy", {N, Y, X, P}), expected) << (bigEndian ? "big-endian" : "little-endian");
  }
}

TEST_F(Readers, LargeSixteenBitPgmInTextAndBinaryIsReadWhole) {
  // 30167 values: the text form is several times the reader's 64 KiB buffer, so numbers are split
  // between refills; the binary form is widened to int32 inside the matrix.
  const uint32_t w = 311, h = 97;
  std::vector<int32_t> expected;
  std::ostringstream text, binary;
  text << "P2\n# comment\n" << w << ' ' << h << "\n65535\n";
  binary << "P5\n" << w << ' ' << h << "\n65535\n";
  for (uint32_t k = 0; k < w * h; ++k) {
    const uint16_t v = sample(k);
    expected.push_back(v);
    text << v << (k % 13 ? " " : "\n");
    binary << static_cast<char>(v >> 8) << static_cast<char>(v & 0xff);
  }
  writeFile(path("text.pgm"), text.str());
  writeFile(path("binary.pgm"), binary.str());
  EXPECT_EQ(readBack("text.pgm", {h, w}), expected);
  EXPECT_EQ(readBack("binary.pgm", {h, w}), expected);
}

TEST_F(Readers, BinaryPgmValueAboveTheMaximumIsRefused) {
  writeFile(path("bad.pgm"), std::string("P5\n3 1\n100\n\x0a\xc8\x0b", 15));
  writeFile(path("zero.npy"), npyBytes("|u1", {1, 3}, std::string(3, '\0')));
  Outcome o = run({"run", "_AddImage", "--in", "0=bad.pgm", "--in", "1=zero.npy", "--out", "0=out.npy"});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("value 200 exceeds the maximum value 100"), std::string::npos) << o.err;
}

TEST_F(Readers, SixteenBitRgbPngIsWidenedRowByRow) {
  const uint32_t w = 37, h = 5;
  Picture pic{w, h, 3, 16, {}, ""};
  std::vector<int32_t> expected;
  for (uint32_t k = 0; k < w * h * 3; ++k) {
    pic.samples.push_back(sample(k));
    expected.push_back(sample(k));
  }
  writePng(path("deep.png"), pic);
  EXPECT_EQ(readBack("deep.png", {h, w, 3}), expected);
}

}  // namespace
