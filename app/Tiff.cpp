// TIFF through libtiff: one page per matrix, pages of any size, the matrix name as PageName, the
// element type from SampleFormat and BitsPerSample, the planes as SamplesPerPixel less alpha (or
// RGB for palette pages). Strips or tiles, either planar configuration, any codec libtiff has.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Files.h"
#include "Text.h"

namespace kxrun {
namespace {

// libtiff reports through process-wide handlers; the last error is kept for the message.
thread_local std::string lastError;

void onError(const char* module, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  lastError = module && *module ? std::string(module) + ": " + text : std::string(text);
}
void onWarning(const char*, const char*, va_list) {}

void installHandlers() {
  static bool done = [] {
    TIFFSetErrorHandler(onError);
    TIFFSetWarningHandler(onWarning);
    return true;
  }();
  (void)done;
}

struct TiffCloser {
  void operator()(TIFF* t) const { TIFFClose(t); }
};
using Tiff = std::unique_ptr<TIFF, TiffCloser>;

[[noreturn]] void tiffError(const fs::path& path, const std::string& what) {
  std::string detail = lastError.empty() ? "" : " (" + toLatin1(lastError) + ")";
  fileError(path, what + detail);
}

// How the samples of a page are stored and which element type they become.
struct SampleKind {
  kxType code;
  int bits;
  int format;  // SAMPLEFORMAT_*
};

SampleKind sampleKind(int bits, int format, int page, const fs::path& path) {
  if (format == SAMPLEFORMAT_UINT && (bits == 1 || bits == 2 || bits == 4 || bits == 8)) return {0, bits, format};
  if (format == SAMPLEFORMAT_UINT && bits == 16) return {2, 16, format};
  if (format == SAMPLEFORMAT_INT && bits == 8) return {2, 8, format};
  if (format == SAMPLEFORMAT_INT && bits == 16) return {1, 16, format};
  if (format == SAMPLEFORMAT_INT && bits == 32) return {2, 32, format};
  if (format == SAMPLEFORMAT_IEEEFP && bits == 32) return {3, 32, format};
  if (format == SAMPLEFORMAT_IEEEFP && bits == 64) return {4, 64, format};
  const char* name = format == SAMPLEFORMAT_UINT     ? "unsigned"
                     : format == SAMPLEFORMAT_INT    ? "signed"
                     : format == SAMPLEFORMAT_IEEEFP ? "floating-point"
                                                     : "other";
  fileError(path, "page " + std::to_string(page) + " holds " + std::to_string(bits) + "-bit " + name +
                      " samples; kxrun reads 1-, 2-, 4-, 8- and 16-bit unsigned, 8-, 16- and 32-bit signed and "
                      "32- and 64-bit floating-point samples");
}

// Where the stored samples of a page go in its matrix.
struct Layout {
  SampleKind kind;
  int stored = 1;                      // samples per pixel in the file
  bool separate = false;               // one plane of samples after the other (PLANARCONFIG_SEPARATE)
  std::vector<int> target;             // per stored sample: its matrix plane, or -1 for an alpha sample left out
  int planes = 1;                      // matrix planes
  std::vector<unsigned char> palette;  // RGB per index, for palette pages
  std::size_t elem = 1;
};

// Samples of 1, 2 or 4 bits are packed from the high bit down, as in PNG.
unsigned packedAt(const unsigned char* row, std::size_t index, int bits) {
  const std::size_t bit = index * static_cast<std::size_t>(bits);
  return (row[bit / 8] >> (8 - bits - static_cast<int>(bit % 8))) & ((1u << bits) - 1);
}

// One stored sample into one matrix element: values as stored, 16-bit unsigned and 8-bit signed
// samples widened to int32, packed samples to one byte each.
void putSample(const unsigned char* row, std::size_t index, const SampleKind& kind, unsigned char* out) {
  if (kind.bits < 8) {
    *out = static_cast<unsigned char>(packedAt(row, index, kind.bits));
    return;
  }
  const unsigned char* p = row + index * static_cast<std::size_t>(kind.bits / 8);
  if (kind.code == 2 && kind.bits != 32) {
    uint16_t u16 = 0;
    if (kind.bits == 16) std::memcpy(&u16, p, 2);
    const int32_t w = kind.bits == 16 ? int32_t(u16) : int32_t(static_cast<int8_t>(*p));
    std::memcpy(out, &w, 4);
  } else {
    std::memcpy(out, p, static_cast<std::size_t>(kind.bits / 8));
  }
}

// Spreads `pixels` pixels of stored samples `first` to `first + count - 1` (all of a pixel's samples
// for interleaved pages, one for separate ones) over the matrix row from `out` on.
void spread(const unsigned char* src, std::size_t pixels, int first, int count, const Layout& l, unsigned char* out) {
  const std::size_t stride = static_cast<std::size_t>(l.planes) * l.elem;
  for (std::size_t i = 0; i < pixels; ++i, out += stride) {
    for (int k = 0; k < count; ++k) {
      const std::size_t index = i * static_cast<std::size_t>(count) + static_cast<std::size_t>(k);
      if (!l.palette.empty()) {
        const unsigned v = l.kind.bits < 8 ? packedAt(src, index, l.kind.bits) : src[index];
        std::memcpy(out, &l.palette[3 * v], 3);
      } else if (const int plane = l.target[static_cast<std::size_t>(first + k)]; plane >= 0) {
        putSample(src, index, l.kind, out + static_cast<std::size_t>(plane) * l.elem);
      }
    }
  }
}

// TIFF colour maps hold 16-bit values; some writers store 8-bit ones, which then all lie below 256.
std::vector<unsigned char> paletteOf(TIFF* t, int bits, int page, const fs::path& path) {
  uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
  if (bits > 8 || !TIFFGetField(t, TIFFTAG_COLORMAP, &r, &g, &b)) {
    fileError(path, "page " + std::to_string(page) + " is a palette picture with " + std::to_string(bits) +
                        "-bit indices or without a colour map; kxrun reads palettes of 1- to 8-bit indices");
  }
  const std::size_t n = std::size_t(1) << bits;
  bool wide = false;
  for (std::size_t i = 0; i < n; ++i) wide = wide || r[i] > 255 || g[i] > 255 || b[i] > 255;
  std::vector<unsigned char> palette(3 * 256, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const uint16_t* c[] = {r, g, b};
    for (int k = 0; k < 3; ++k) palette[3 * i + k] = static_cast<unsigned char>(wide ? c[k][i] >> 8 : c[k][i]);
  }
  return palette;
}

// Uncompressed strips that follow one another in the file, each exactly as long as its rows, are
// the page's rows as an interleaved matrix holds them: one read fills the matrix where libtiff would
// seek and read strip by strip, a few rows at a time. False, with nothing promised about `out`, when
// the page is stored any other way or the read falls short; the caller then reads it through libtiff,
// which also gives the messages for truncated and malformed files.
bool readContiguous(TIFF* t, const fs::path& path, uint64_t fileBytes, uint32_t height, uint64_t lineBytes, int bits,
                    unsigned char* out) {
  uint16_t compression = COMPRESSION_NONE, fill = FILLORDER_MSB2LSB;
  uint32_t rowsPerStrip = 0;
  TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(t, TIFFTAG_FILLORDER, &fill);
  TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
  // libtiff reverses the bits of other fill orders and swaps the bytes of samples stored in the
  // other byte order: those pages take its path.
  if (rowsPerStrip == 0 || compression != COMPRESSION_NONE || fill != FILLORDER_MSB2LSB ||
      (TIFFIsByteSwapped(t) && bits > 8)) {
    return false;
  }
  const uint64_t strips = (uint64_t(height) + rowsPerStrip - 1) / rowsPerStrip;
  if (TIFFNumberOfStrips(t) != strips) return false;
  const uint64_t first = TIFFGetStrileOffset(t, 0);
  uint64_t at = first;
  for (uint32_t s = 0; s < strips; ++s) {
    const uint64_t bytes = std::min<uint64_t>(rowsPerStrip, height - uint64_t(s) * rowsPerStrip) * lineBytes;
    if (TIFFGetStrileOffset(t, s) != at || TIFFGetStrileByteCount(t, s) != bytes) return false;
    at += bytes;
  }
  if (at > fileBytes) return false;
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(first));
  // In pieces that a 32-bit streamsize holds.
  for (uint64_t left = at - first; in && left > 0;) {
    const auto piece = static_cast<std::streamsize>(std::min<uint64_t>(left, uint64_t(1) << 30));
    in.read(reinterpret_cast<char*>(out), piece);
    out += piece;
    left -= static_cast<uint64_t>(piece);
  }
  return static_cast<bool>(in);
}

// Largest strip kxrun writes.
constexpr std::size_t kStripBytes = std::size_t(16) << 20;

[[noreturn]] void malformed(const fs::path& path, int page, const std::string& where) {
  tiffError(path, "page " + std::to_string(page) + " cannot be read " + where + ": the file is truncated or malformed");
}

}  // namespace

FileStream readTiff(const fs::path& path) {
  installHandlers();
  lastError.clear();
  uint64_t size = fileSize(path);
  Tiff t(TIFFOpen(path.c_str(), "rm"));
  if (!t) tiffError(path, "not a readable TIFF file");
  TIFF* tp = t.get();

  FileStream out;
  std::vector<std::string> names;
  bool alphaLeftOut = false;
  int page = 0;
  do {
    const std::string pageText = "page " + std::to_string(page);
    uint32_t width = 0, height = 0;
    uint16_t spp = 1, bits = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG, compression = 1,
             photometric = PHOTOMETRIC_MINISBLACK, extraCount = 0;
    uint16_t* extraTypes = nullptr;
    if (!TIFFGetField(tp, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tp, TIFFTAG_IMAGELENGTH, &height)) {
      tiffError(path, pageText + " has no image size");
    }
    TIFFGetFieldDefaulted(tp, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tp, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tp, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tp, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tp, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tp, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tp, TIFFTAG_EXTRASAMPLES, &extraCount, &extraTypes);

    Layout l;
    l.kind = sampleKind(bits, format, page, path);
    l.stored = spp;
    l.separate = planar == PLANARCONFIG_SEPARATE && spp > 1;
    // JPEG pages keep colour as YCbCr; the codec turns it back into RGB.
    if (photometric == PHOTOMETRIC_YCBCR) {
      if (compression != COMPRESSION_JPEG) {
        fileError(path, pageText + " holds YCbCr samples without JPEG compression; kxrun reads YCbCr in JPEG pages");
      }
      TIFFSetField(tp, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    }
    // One rule for every format: alpha is left out, other extra samples are planes.
    l.target.resize(spp);
    l.planes = 0;
    for (int s = 0; s < spp; ++s) {
      const int extra = s - (spp - extraCount);
      const bool alpha = extra >= 0 && extraTypes &&
                         (extraTypes[extra] == EXTRASAMPLE_ASSOCALPHA || extraTypes[extra] == EXTRASAMPLE_UNASSALPHA);
      alphaLeftOut = alphaLeftOut || alpha;
      l.target[static_cast<std::size_t>(s)] = alpha ? -1 : l.planes++;
    }
    if (photometric == PHOTOMETRIC_PALETTE) {
      if (l.planes != 1 || format != SAMPLEFORMAT_UINT) {
        fileError(path, pageText + " is a palette picture with " + std::to_string(l.planes) + " samples per pixel");
      }
      l.palette = paletteOf(tp, bits, page, path);
      l.planes = 3;
    }
    if (l.planes == 0) fileError(path, pageText + " holds nothing but alpha");
    l.elem = kxhost::elementSize(l.kind.code);
    if (page == 0) {
      out.type = l.kind.code;
    } else if (l.kind.code != out.type) {
      fileError(path, pageText + " holds " + typeName(l.kind.code) + " elements, page 0 " + typeName(out.type) +
                          ": the matrices of one stream share one element type");
    }
    char* pageName = nullptr;
    names.push_back(TIFFGetField(tp, TIFFTAG_PAGENAME, &pageName) && pageName ? toLatin1(pageName) : std::string());
    // Uncompressed data must all be in the file; compressed data expands by a bounded ratio.
    const uint64_t widening = (uint64_t(l.planes) * l.elem * 8 + uint64_t(spp) * bits - 1) / (uint64_t(spp) * bits);
    const uint64_t maxBytes = size * widening * (compression == COMPRESSION_NONE ? 1 : 4096);
    kxhost::Matrix& m = addMatrix(out.stream, l.kind.code, width, height, l.planes, names.back(), path, maxBytes);
    auto** rows = reinterpret_cast<unsigned char**>(m.rows());
    const int passes = l.separate ? spp : 1, perPass = l.separate ? 1 : spp;
    auto rowBytes = [&](uint64_t pixels) { return (pixels * static_cast<uint64_t>(perPass) * bits + 7) / 8; };

    if (TIFFIsTiled(tp)) {
      uint32_t tw = 0, th = 0;
      TIFFGetField(tp, TIFFTAG_TILEWIDTH, &tw);
      TIFFGetField(tp, TIFFTAG_TILELENGTH, &th);
      const tmsize_t tileSize = TIFFTileSize(tp), tileRow = TIFFTileRowSize(tp);
      // A tile never needs more than the page and a little; a larger claim would allocate for nothing.
      const uint64_t limit = std::max<uint64_t>(uint64_t(1) << 24, 2 * rowBytes(width) * height * passes);
      if (tw == 0 || th == 0 || tileSize <= 0 || tileRow <= 0 || uint64_t(tileSize) > limit ||
          uint64_t(tileRow) < rowBytes(tw) || uint64_t(tileSize) < uint64_t(tileRow) * th) {
        tiffError(path, pageText + " has a malformed tile layout");
      }
      std::vector<unsigned char> tile(static_cast<std::size_t>(tileSize));
      for (int s = 0; s < passes; ++s) {
        for (uint32_t y0 = 0; y0 < height; y0 += th) {
          for (uint32_t x0 = 0; x0 < width; x0 += tw) {
            if (TIFFReadTile(tp, tile.data(), x0, y0, 0, static_cast<uint16_t>(s)) < 0) {
              malformed(path, page, "in the tile at " + std::to_string(x0) + ", " + std::to_string(y0));
            }
            const uint32_t w = std::min(tw, width - x0), h = std::min(th, height - y0);
            for (uint32_t r = 0; r < h; ++r) {
              spread(tile.data() + std::size_t(r) * static_cast<std::size_t>(tileRow), w, s, perPass, l,
                     rows[y0 + r] + std::size_t(x0) * static_cast<std::size_t>(l.planes) * l.elem);
            }
          }
        }
      }
    } else {
      const tmsize_t lineSize = TIFFScanlineSize(tp);
      if (lineSize <= 0 || uint64_t(lineSize) < rowBytes(width)) tiffError(path, pageText + " has a malformed layout");
      // Interleaved samples stored as the matrix holds them are read straight into its rows.
      const bool direct = !l.separate && l.palette.empty() && l.planes == spp && l.elem * 8 == bits &&
                          uint64_t(lineSize) == uint64_t(width) * spp * l.elem;
      const bool whole =
          direct && height > 0 && readContiguous(tp, path, size, height, uint64_t(lineSize), bits, rows[0]);
      std::vector<unsigned char> line(direct ? 0 : static_cast<std::size_t>(lineSize));
      for (int s = 0; s < (whole ? 0 : passes); ++s) {
        for (uint32_t y = 0; y < height; ++y) {
          if (TIFFReadScanline(tp, direct ? rows[y] : line.data(), y, static_cast<uint16_t>(s)) < 0) {
            malformed(path, page, "at row " + std::to_string(y));
          }
          if (!direct) spread(line.data(), width, s, perPass, l, rows[y]);
        }
      }
    }
    ++page;
  } while (TIFFReadDirectory(tp));
  if (!lastError.empty()) tiffError(path, "the file is malformed");

  // Pages without a name take the file's.
  for (std::size_t i = 0; i < out.stream.matrices.size(); ++i) {
    if (names[i].empty()) {
      out.stream.matrices[i]->info().Name = defaultName(path, i, out.stream.matrices.size()).c_str();
    }
  }
  if (alphaLeftOut) out.notes.push_back(path.string() + ": the alpha channel is not read");
  return out;
}

void writeTiff(const fs::path& file, const fs::path& shownAs, kxType type, const kxhost::Stream& stream) {
  installHandlers();
  lastError.clear();
  const auto& ms = stream.matrices;
  if (ms.empty()) fileError(shownAs, "the stream holds no matrix, and a TIFF file needs a page: write it as .npy");
  uint64_t total = 0;
  for (std::size_t i = 0; i < ms.size(); ++i) {
    const kxMInfo& info = ms[i]->info();
    if (info.X <= 0 || info.Y <= 0 || info.Planes <= 0) {
      fileError(shownAs, "matrix " + std::to_string(i) + " has no elements (" + std::to_string(info.X) + " x " +
                             std::to_string(info.Y) + " x " + std::to_string(info.Planes) +
                             "), which a TIFF page cannot hold: write it as .npy");
    }
    if (info.Planes > 65535) {
      fileError(shownAs, "matrix " + std::to_string(i) + " has " + std::to_string(info.Planes) +
                             " planes, more than a TIFF page holds: write it as .npy");
    }
    total += ms[i]->bytes();
  }
  static const int kBits[] = {8, 16, 32, 32, 64};
  static const int kFormat[] = {SAMPLEFORMAT_UINT, SAMPLEFORMAT_INT, SAMPLEFORMAT_INT, SAMPLEFORMAT_IEEEFP,
                                SAMPLEFORMAT_IEEEFP};
  // Classic TIFF addresses 4 GiB; larger streams go to BigTIFF.
  Tiff t(TIFFOpen(file.c_str(), total > (uint64_t(1) << 31) ? "w8" : "w"));
  if (!t) tiffError(shownAs, "cannot write");
  for (std::size_t i = 0; i < ms.size(); ++i) {
    const kxhost::Matrix& m = *ms[i];
    const kxMInfo& info = m.info();
    TIFF* tp = t.get();
    auto planes = static_cast<uint16_t>(info.Planes);
    TIFFSetField(tp, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(info.X));
    TIFFSetField(tp, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(info.Y));
    TIFFSetField(tp, TIFFTAG_SAMPLESPERPIXEL, planes);
    TIFFSetField(tp, TIFFTAG_BITSPERSAMPLE, kBits[type]);
    TIFFSetField(tp, TIFFTAG_SAMPLEFORMAT, kFormat[type]);
    TIFFSetField(tp, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tp, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tp, TIFFTAG_PHOTOMETRIC, planes == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    if (planes != 1 && planes != 3) {
      std::vector<uint16_t> extra(planes - 1u, EXTRASAMPLE_UNSPECIFIED);
      TIFFSetField(tp, TIFFTAG_EXTRASAMPLES, static_cast<uint16_t>(extra.size()), extra.data());
    }
    // Strips of up to kStripBytes written straight from the matrix: a page of 16 MiB is one write
    // instead of two thousand, and readers reading strip by strip hold a bounded piece.
    const std::size_t rowBytes = m.bytes() / static_cast<std::size_t>(info.Y);
    const auto rowsPerStrip =
        static_cast<uint32_t>(std::clamp<std::size_t>(kStripBytes / rowBytes, 1, static_cast<std::size_t>(info.Y)));
    TIFFSetField(tp, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    if (ms.size() > 1) {
      TIFFSetField(tp, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
      TIFFSetField(tp, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(i), static_cast<uint16_t>(ms.size()));
    }
    std::string name = toUtf8(info.Name.c_str());
    if (!name.empty()) TIFFSetField(tp, TIFFTAG_PAGENAME, name.c_str());
    // Uncompressed samples in this machine's byte order (libtiff writes files in it) are their own
    // encoding, so the strips go out as raw strips, without a copy.
    // (libtiff takes a non-const pointer for the data it only writes out.)
    auto* data = static_cast<unsigned char*>(const_cast<void*>(m.data()));
    const auto height = static_cast<uint32_t>(info.Y);
    for (uint32_t y = 0, strip = 0; y < height; y += rowsPerStrip, ++strip) {
      const std::size_t bytes = rowBytes * std::min(rowsPerStrip, height - y);
      if (TIFFWriteRawStrip(tp, strip, data + rowBytes * y, static_cast<tmsize_t>(bytes)) < 0) {
        tiffError(shownAs, "cannot write");
      }
    }
    if (!TIFFWriteDirectory(tp)) tiffError(shownAs, "cannot write");
  }
  TIFF* raw = t.release();
  TIFFClose(raw);
  if (!lastError.empty()) tiffError(shownAs, "cannot write");
}

}  // namespace kxrun
