// kxrun's readers. Pictures as other programs store them: TIFF pages in tiles and strips, either
// planar configuration, packed and palette samples, predictors and codecs, alpha in TIFF and PNG,
// each written here with libtiff or libpng, read by kxrun, and compared with the values written.
// And files larger than the read buffers: the data goes straight into the host's matrices, piece by
// piece or widened in place, and every element must land where it belongs.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

#include "Support.h"

using namespace clitest;

namespace {

constexpr uint32_t kW = 37, kH = 21, kTile = 16;

struct Layout {
  std::string name;
  uint16_t photometric, bits, format, spp;
  std::vector<uint16_t> extras;  // kinds of the extra samples, the last ones of a pixel
  bool tiled = false, separate = false;
  uint16_t compression = COMPRESSION_NONE, predictor = PREDICTOR_NONE;
  bool png = false;
  // What kxrun makes of it.
  int type = 0, planes = 1;
};

void PrintTo(const Layout& l, std::ostream* os) { *os << l.name; }

bool isAlpha(const Layout& l, int s) {
  const int extra = s - (l.spp - static_cast<int>(l.extras.size()));
  return extra >= 0 && l.extras[static_cast<std::size_t>(extra)] != EXTRASAMPLE_UNSPECIFIED;
}

// Sample s of pixel (x, y) as stored: values over the whole range of the sample type; JPEG gets a
// smooth picture it keeps nearly as it is.
double stored(const Layout& l, uint32_t x, uint32_t y, int s) {
  if (l.compression == COMPRESSION_JPEG) return 40 + 2 * x + 2 * y + 25 * s;
  const uint32_t h = ((y * kW + x) * l.spp + static_cast<uint32_t>(s) + 1) * 2654435761u;
  if (l.format == SAMPLEFORMAT_IEEEFP)
    return l.bits == 32 ? static_cast<float>(static_cast<int32_t>(h) / 1024.0) : static_cast<int32_t>(h) / 3.0;
  if (l.format == SAMPLEFORMAT_INT)
    return l.bits == 8    ? static_cast<int8_t>(h >> 24)
           : l.bits == 16 ? static_cast<int16_t>(h >> 16)
                          : static_cast<int32_t>(h);
  return h >> (32 - l.bits);
}

uint8_t colour(uint32_t index, int c) { return static_cast<uint8_t>(index * (53 + 48 * c) + 7 * c); }

void pack(std::vector<unsigned char>& row, std::size_t index, const Layout& l, double v) {
  unsigned char* p = row.data() + index * l.bits / 8;
  if (l.bits < 8) {
    const std::size_t bit = index * l.bits;
    row[bit / 8] |= static_cast<unsigned char>(static_cast<unsigned>(v) << (8 - l.bits - bit % 8));
  } else if (l.format == SAMPLEFORMAT_IEEEFP) {
    if (l.bits == 32) {
      const float f = static_cast<float>(v);
      std::memcpy(p, &f, 4);
    } else {
      std::memcpy(p, &v, 8);
    }
  } else {
    const int64_t i = static_cast<int64_t>(v);
    const uint32_t u = static_cast<uint32_t>(i);
    std::memcpy(p, &u, l.bits / 8);  // the low bytes on this little-endian machine
  }
}

// Samples x0.. of one row (or tile row) of width w for plane s, or all samples when interleaved.
std::vector<unsigned char> storedRow(const Layout& l, uint32_t x0, uint32_t w, uint32_t y, int s) {
  const int per = l.separate ? 1 : l.spp;
  std::vector<unsigned char> row((std::size_t(w) * per * l.bits + 7) / 8, 0);
  for (uint32_t x = 0; x < w; ++x)
    for (int k = 0; k < per; ++k) pack(row, std::size_t(x) * per + k, l, stored(l, x0 + x, y, l.separate ? s : k));
  return row;
}

void writeTiffLayout(const fs::path& p, const Layout& l) {
  TIFF* t = TIFFOpen(p.c_str(), "w");
  ASSERT_NE(t, nullptr);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kW);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, kH);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, l.spp);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, l.bits);
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, l.format);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, l.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, l.photometric);
  TIFFSetField(t, TIFFTAG_COMPRESSION, l.compression);
  if (l.predictor != PREDICTOR_NONE) TIFFSetField(t, TIFFTAG_PREDICTOR, l.predictor);
  if (l.compression == COMPRESSION_JPEG && l.photometric == PHOTOMETRIC_YCBCR)
    TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
  if (!l.extras.empty()) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, static_cast<uint16_t>(l.extras.size()), l.extras.data());
  if (l.photometric == PHOTOMETRIC_PALETTE) {
    std::vector<uint16_t> map[3];
    for (int c = 0; c < 3; ++c)
      for (uint32_t i = 0; i < (1u << l.bits); ++i) map[c].push_back(static_cast<uint16_t>(colour(i, c) * 257));
    TIFFSetField(t, TIFFTAG_COLORMAP, map[0].data(), map[1].data(), map[2].data());
  }
  const int planes = l.separate ? l.spp : 1;
  if (l.tiled) {
    TIFFSetField(t, TIFFTAG_TILEWIDTH, kTile);
    TIFFSetField(t, TIFFTAG_TILELENGTH, kTile);
    for (int s = 0; s < planes; ++s)
      for (uint32_t y0 = 0; y0 < kH; y0 += kTile)
        for (uint32_t x0 = 0; x0 < kW; x0 += kTile) {
          std::vector<unsigned char> tile;
          for (uint32_t r = 0; r < kTile; ++r) {
            std::vector<unsigned char> row = storedRow(l, x0, kTile, y0 + r, s);
            tile.insert(tile.end(), row.begin(), row.end());
          }
          ASSERT_GE(TIFFWriteTile(t, tile.data(), x0, y0, 0, static_cast<uint16_t>(s)), 0);
        }
  } else {
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16u);
    for (int s = 0; s < planes; ++s)
      for (uint32_t y = 0; y < kH; ++y)
        ASSERT_GE(TIFFWriteScanline(t, storedRow(l, 0, kW, y, s).data(), y, static_cast<uint16_t>(s)), 0);
  }
  TIFFClose(t);
}

const char* const kDescr[] = {"|u1", "<i2", "<i4", "<f4", "<f8"};

class Layouts : public Cli, public ::testing::WithParamInterface<Layout> {};

TEST_P(Layouts, AreReadAsWritten) {
  const Layout& l = GetParam();
  const std::string file = l.png ? "in.png" : "in.tif";
  std::vector<double> expected;
  std::vector<uint16_t> samples;  // of the PNG
  for (uint32_t y = 0; y < kH; ++y)
    for (uint32_t x = 0; x < kW; ++x)
      for (int s = 0; s < l.spp; ++s) {
        const double v = stored(l, x, y, s);
        samples.push_back(static_cast<uint16_t>(v));
        if (l.photometric == PHOTOMETRIC_PALETTE) {
          for (int c = 0; c < 3; ++c) expected.push_back(colour(static_cast<uint32_t>(v), c));
        } else if (!isAlpha(l, s) && !(l.png && s == l.spp - 1)) {
          expected.push_back(v);
        }
      }
  ASSERT_EQ(expected.size(), std::size_t(kW) * kH * l.planes);
  if (l.png) {
    writePng(path(file), Picture{kW, kH, l.spp, 8, samples, ""});
  } else {
    writeTiffLayout(path(file), l);
  }

  // The element type the reader chose, then every value through an exact conversion to float64.
  Outcome o = kxrun({"run", "_AddImage", "--in", "0=" + file, "--in", "1=" + file, "--report", "r.json"}, dir_);
  EXPECT_EQ(readJson(path("r.json"))["inputs"]["0"]["type"], l.type) << o.err;
  const bool alpha =
      l.png || std::any_of(l.extras.begin(), l.extras.end(), [](uint16_t e) { return e != EXTRASAMPLE_UNSPECIFIED; });
  EXPECT_EQ(o.err.find("the alpha channel is not read") != std::string::npos, alpha) << o.err;
  writeFile(path("zero.npy"),
            npyBytes("<f8", {int64_t{kH}, int64_t{kW}, int64_t{l.planes}}, std::string(expected.size() * 8, '\0')));
  o = kxrun({"run", "_AddImage", "--in", "0=" + file, "--in-type", "0=float64", "--in", "1=zero.npy", "--out-type",
             "0=float64", "--out", "0=out.npy"},
            dir_);
  ASSERT_EQ(o.status, 0) << o.err;
  Npy out = readNpy(path("out.npy"));
  EXPECT_EQ(out.shape, (std::vector<int64_t>{1, kH, kW, l.planes}));
  std::vector<double> got = values<double>(out.data);
  ASSERT_EQ(got.size(), expected.size());
  const double tolerance = l.compression == COMPRESSION_JPEG ? 8 : 0;
  for (std::size_t k = 0; k < got.size(); ++k)
    ASSERT_LE(std::fabs(got[k] - expected[k]), tolerance) << "element " << k << " of " << kDescr[l.type];
}

constexpr uint16_t U = SAMPLEFORMAT_UINT, I = SAMPLEFORMAT_INT, F = SAMPLEFORMAT_IEEEFP;
constexpr uint16_t GREY = PHOTOMETRIC_MINISBLACK, RGB = PHOTOMETRIC_RGB, PAL = PHOTOMETRIC_PALETTE;
constexpr uint16_t UNSPEC = EXTRASAMPLE_UNSPECIFIED, ASSOC = EXTRASAMPLE_ASSOCALPHA, UNASSOC = EXTRASAMPLE_UNASSALPHA;
constexpr uint16_t NONE = COMPRESSION_NONE, LZW = COMPRESSION_LZW, ZIP = COMPRESSION_ADOBE_DEFLATE;

INSTANTIATE_TEST_SUITE_P(
    Files, Layouts,
    ::testing::Values(
        // Tiles of every sample type, interleaved and separate; partial tiles at the right and bottom.
        Layout{"tiles_uint8_rgb", RGB, 8, U, 3, {}, true, false, NONE, 1, false, 0, 3},
        Layout{"tiles_uint8_rgb_separate", RGB, 8, U, 3, {}, true, true, LZW, 2, false, 0, 3},
        Layout{"tiles_uint16", GREY, 16, U, 1, {}, true, false, NONE, 1, false, 2, 1},
        Layout{"tiles_int8_two_planes_separate", GREY, 8, I, 2, {UNSPEC}, true, true, NONE, 1, false, 2, 2},
        Layout{"tiles_int16", GREY, 16, I, 1, {}, true, false, NONE, 1, false, 1, 1},
        Layout{"tiles_int32_separate", RGB, 32, I, 3, {}, true, true, NONE, 1, false, 2, 3},
        Layout{"tiles_float32_deflate_predictor", GREY, 32, F, 1, {}, true, false, ZIP, 3, false, 3, 1},
        Layout{"tiles_float64_separate", GREY, 64, F, 2, {UNSPEC}, true, true, NONE, 1, false, 4, 2},
        // Uncompressed strips end to end, read whole; the last strip is partial.
        Layout{"strips_int16", GREY, 16, I, 1, {}, false, false, NONE, 1, false, 1, 1},
        Layout{"strips_float64_two_planes", GREY, 64, F, 2, {UNSPEC}, false, false, NONE, 1, false, 4, 2},
        // Predictors in strips.
        Layout{"strips_float32_rgb_deflate_predictor", RGB, 32, F, 3, {}, false, false, ZIP, 3, false, 3, 3},
        Layout{"strips_uint16_rgb_lzw_predictor", RGB, 16, U, 3, {}, false, false, LZW, 2, false, 2, 3},
        // Packed grey and palettes, read as PNG reads them.
        Layout{"strips_grey_1_bit", GREY, 1, U, 1, {}, false, false, NONE, 1, false, 0, 1},
        Layout{"strips_grey_2_bit", GREY, 2, U, 1, {}, false, false, LZW, 1, false, 0, 1},
        Layout{"tiles_grey_4_bit", GREY, 4, U, 1, {}, true, false, NONE, 1, false, 0, 1},
        Layout{"strips_palette_1_bit", PAL, 1, U, 1, {}, false, false, NONE, 1, false, 0, 3},
        Layout{"strips_palette_4_bit", PAL, 4, U, 1, {}, false, false, ZIP, 1, false, 0, 3},
        Layout{"tiles_palette_8_bit", PAL, 8, U, 1, {}, true, false, NONE, 1, false, 0, 3},
        // JPEG, colour as YCbCr and grey.
        Layout{"strips_jpeg_ycbcr", PHOTOMETRIC_YCBCR, 8, U, 3, {}, false, false, COMPRESSION_JPEG, 1, false, 0, 3},
        Layout{"tiles_jpeg_ycbcr", PHOTOMETRIC_YCBCR, 8, U, 3, {}, true, false, COMPRESSION_JPEG, 1, false, 0, 3},
        Layout{"strips_jpeg_grey", GREY, 8, U, 1, {}, false, false, COMPRESSION_JPEG, 1, false, 0, 1},
        // Alpha is left out in every format; extra samples of no stated meaning are planes.
        Layout{"rgba_unassociated", RGB, 8, U, 4, {UNASSOC}, false, false, NONE, 1, false, 0, 3},
        Layout{"grey_associated_alpha_separate_tiles", GREY, 16, U, 2, {ASSOC}, true, true, NONE, 1, false, 2, 1},
        Layout{"rgb_and_unspecified_extra", RGB, 8, U, 4, {UNSPEC}, false, false, NONE, 1, false, 0, 4},
        Layout{"png_rgba", RGB, 8, U, 4, {}, false, false, NONE, 1, true, 0, 3},
        Layout{"png_grey_alpha", GREY, 8, U, 2, {}, false, false, NONE, 1, true, 0, 1}),
    [](const auto& info) { return info.param.name; });

// ---- files larger than the read buffers -------------------------------------------------------------

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
