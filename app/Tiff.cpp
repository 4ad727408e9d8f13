// TIFF through libtiff: one page per matrix, pages of any size, the matrix name as PageName, the
// element type from SampleFormat and BitsPerSample, the planes as SamplesPerPixel.
#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
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

// Stored samples widened into the matrix's element type: 16-bit unsigned and 8-bit signed
// samples become int32, everything else is copied as it is.
void copySamples(const unsigned char* src, unsigned char* dst, std::size_t count, std::size_t dstStride,
                 const SampleKind& kind) {
  std::size_t srcSize = static_cast<std::size_t>(kind.bits) / 8;
  std::size_t dstSize = kxhost::elementSize(kind.code);
  for (std::size_t k = 0; k < count; ++k, src += srcSize, dst += dstStride * dstSize) {
    if (kind.code == 2 && kind.bits == 16) {
      uint16_t v;
      std::memcpy(&v, src, 2);
      int32_t w = v;
      std::memcpy(dst, &w, 4);
    } else if (kind.code == 2 && kind.bits == 8) {
      int32_t w = static_cast<int8_t>(*src);
      std::memcpy(dst, &w, 4);
    } else {
      std::memcpy(dst, src, srcSize);
    }
  }
}

SampleKind sampleKind(int bits, int format, int page, const fs::path& path) {
  if (format == SAMPLEFORMAT_UINT && bits == 8) return {0, 8, format};
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
                      " samples; kxrun reads 8- and 16-bit unsigned, 8-, 16- and 32-bit signed and 32- and "
                      "64-bit floating-point samples");
}

}  // namespace

FileStream readTiff(const fs::path& path) {
  installHandlers();
  lastError.clear();
  uint64_t size = fileSize(path);
  Tiff t(TIFFOpen(path.c_str(), "rm"));
  if (!t) tiffError(path, "not a readable TIFF file");

  FileStream out;
  std::vector<std::string> names;
  int page = 0;
  do {
    uint32_t width = 0, height = 0;
    uint16_t spp = 1, bits = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG, compression = 1;
    if (!TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &height)) {
      tiffError(path, "page " + std::to_string(page) + " has no image size");
    }
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_COMPRESSION, &compression);
    if (TIFFIsTiled(t.get())) {
      fileError(path, "page " + std::to_string(page) + " is stored in tiles; kxrun reads TIFF files stored in strips");
    }
    SampleKind kind = sampleKind(bits, format, page, path);
    if (page == 0) {
      out.type = kind.code;
    } else if (kind.code != out.type) {
      fileError(path, "page " + std::to_string(page) + " holds " + typeName(kind.code) + " elements, page 0 " +
                          typeName(out.type) + ": the matrices of one stream share one element type");
    }
    char* pageName = nullptr;
    names.push_back(TIFFGetField(t.get(), TIFFTAG_PAGENAME, &pageName) && pageName ? toLatin1(pageName)
                                                                                   : std::string());
    // Uncompressed data must all be in the file; compressed data expands by a bounded ratio.
    uint64_t widening = kxhost::elementSize(kind.code) * 8 / static_cast<uint64_t>(bits);
    uint64_t maxBytes = size * widening * (compression == COMPRESSION_NONE ? 1 : 4096);
    kxhost::Matrix& m = addMatrix(out.stream, kind.code, width, height, spp, names.back(), path, maxBytes);

    tmsize_t lineSize = TIFFScanlineSize(t.get());
    std::size_t samplesPerLine = planar == PLANARCONFIG_CONTIG ? std::size_t(width) * spp : width;
    if (lineSize <= 0 || static_cast<std::size_t>(lineSize) < samplesPerLine * bits / 8) {
      tiffError(path, "page " + std::to_string(page) + " has a malformed layout");
    }
    auto** rows = reinterpret_cast<unsigned char**>(m.rows());
    std::size_t elem = kxhost::elementSize(kind.code);
    // Interleaved samples stored as the matrix holds them are read straight into its rows; others
    // go through one line that is widened or spread over the planes.
    const bool direct = planar == PLANARCONFIG_CONTIG && elem * 8 == static_cast<std::size_t>(bits) &&
                        static_cast<std::size_t>(lineSize) == samplesPerLine * elem;
    std::vector<unsigned char> line(direct ? 0 : static_cast<std::size_t>(lineSize));
    int planes = planar == PLANARCONFIG_CONTIG ? 1 : spp;
    for (int s = 0; s < planes; ++s) {
      for (uint32_t y = 0; y < height; ++y) {
        if (TIFFReadScanline(t.get(), direct ? rows[y] : line.data(), y, static_cast<uint16_t>(s)) < 0) {
          tiffError(path, "page " + std::to_string(page) + " cannot be read at row " + std::to_string(y) +
                              ": the file is truncated or malformed");
        }
        if (direct) continue;
        if (planar == PLANARCONFIG_CONTIG) {
          copySamples(line.data(), rows[y], samplesPerLine, 1, kind);
        } else {
          copySamples(line.data(), rows[y] + std::size_t(s) * elem, width, spp, kind);
        }
      }
    }
    ++page;
  } while (TIFFReadDirectory(t.get()));
  if (!lastError.empty()) tiffError(path, "the file is malformed");

  // Pages without a name take the file's.
  for (std::size_t i = 0; i < out.stream.matrices.size(); ++i) {
    if (names[i].empty()) {
      out.stream.matrices[i]->info().Name = defaultName(path, i, out.stream.matrices.size()).c_str();
    }
  }
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
    TIFFSetField(tp, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tp, 0));
    if (ms.size() > 1) {
      TIFFSetField(tp, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
      TIFFSetField(tp, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(i), static_cast<uint16_t>(ms.size()));
    }
    std::string name = toUtf8(info.Name.c_str());
    if (!name.empty()) TIFFSetField(tp, TIFFTAG_PAGENAME, name.c_str());
    std::vector<unsigned char> line(m.bytes() / static_cast<std::size_t>(info.Y));
    const auto* data = static_cast<const unsigned char*>(m.data());
    for (int32_t y = 0; y < info.Y; ++y) {
      std::memcpy(line.data(), data + line.size() * static_cast<std::size_t>(y), line.size());
      if (TIFFWriteScanline(tp, line.data(), static_cast<uint32_t>(y), 0) < 0) tiffError(shownAs, "cannot write");
    }
    if (!TIFFWriteDirectory(tp)) tiffError(shownAs, "cannot write");
  }
  TIFF* raw = t.release();
  TIFFClose(raw);
  if (!lastError.empty()) tiffError(shownAs, "cannot write");
}

}  // namespace kxrun
