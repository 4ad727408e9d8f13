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
  // Adds a zero int32 array of the shape to the file, checks the type its input pin took and
  // returns the int32 result of _AddImage.
  std::vector<int32_t> readBack(const std::string& in, const std::vector<int64_t>& shape, int type = 2) {
    int64_t count = 1;
    for (int64_t d : shape) count *= d;
    put("zero.npy", npyBytes("<i4", shape, std::string(static_cast<std::size_t>(count) * 4, '\0')));
    ok("run _AddImage --in 0=" + in + " --in 1=zero.npy --out-type 0=int32 --out 0=out.npy --report r");
    EXPECT_EQ(readJson(path("r"))["inputs"]["0"]["type"], type) << in;
    return values<int32_t>(readNpy(path("out.npy")).data);
  }
};

TEST_F(Readers, FortranOrderNpyOfSeveralPiecesIsScatteredToEveryMatrix) {
  // 270000 int32 elements, more than one 1 MiB piece; (i, y, x, p) encoded in the value.
  const int64_t N = 2, Y = 150, X = 300, P = 3;
  std::vector<int32_t> expected;
  for (int64_t i = 0; i < N * Y * X * P; ++i) expected.push_back(static_cast<int32_t>(i * 7 + 1));
  for (bool bigEndian : {false, true}) {
    std::string data;
    for (int64_t p = 0; p < P; ++p)
      for (int64_t x = 0; x < X; ++x)
        for (int64_t y = 0; y < Y; ++y)
          for (int64_t i = 0; i < N; ++i) {
            auto v = static_cast<uint32_t>(expected[static_cast<std::size_t>(((i * Y + y) * X + x) * P + p)]);
            for (int b = 0; b < 4; ++b) data += static_cast<char>(v >> (bigEndian ? 24 - 8 * b : 8 * b));
          }
    put("f.npy", npyBytes(bigEndian ? ">i4" : "<i4", {N, Y, X, P}, data, true));
    EXPECT_EQ(readBack("f.npy", {N, Y, X, P}), expected) << (bigEndian ? "big-endian" : "little-endian");
  }
}

TEST_F(Readers, SixteenBitPicturesAreReadWholeAsInt32) {
  // 30167 values: the text PGM is several times the reader's 64 KiB buffer, so numbers are split
  // between refills; binary PGM and PNG samples are widened to int32 inside the matrix.
  const uint32_t w = 311, h = 97;
  std::vector<int32_t> expected = {0, 65535};
  std::ostringstream text, binary;
  text << "P2\n# comment\n" << w << ' ' << h << "\n65535\n0 65535\n";
  binary << "P5\n" << w << ' ' << h << "\n65535\n" << std::string("\0\0\xff\xff", 4);
  for (uint32_t k = 2; k < w * h; ++k) {
    expected.push_back(sample(k));
    text << sample(k) << (k % 13 ? " " : "\n");
    binary << static_cast<char>(sample(k) >> 8) << static_cast<char>(sample(k) & 0xff);
  }
  put("text.pgm", text.str());
  put("binary.pgm", binary.str());
  EXPECT_EQ(readBack("text.pgm", {h, w}), expected);
  EXPECT_EQ(readBack("binary.pgm", {h, w}), expected);
  expected.resize(37 * 5 * 3);
  writePng(path("deep.png"), Picture{37, 5, 3, 16, std::vector<uint16_t>(expected.begin(), expected.end()), ""});
  EXPECT_EQ(readBack("deep.png", {5, 37, 3}), expected);
  // A matrix without elements still has its rows.
  put("flat.pgm", "P5\n0 5\n255\n");
  EXPECT_EQ(readBack("flat.pgm", {5, 0}, 0), std::vector<int32_t>{});
}

}  // namespace
