// PNG through libpng: one matrix of 1 or 3 planes, 8-bit (16-bit files read as int32); the matrix
// name travels in a "Title" text chunk.
//
// libpng reports errors by longjmp, so every function that calls it sets its jump point first and
// keeps only trivially destructible locals; buffers live in the caller.
#include <png.h>

#include <bit>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Files.h"
#include "Text.h"

namespace kxrun {
namespace {

struct PngState {
  std::FILE* file = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  char error[256] = {};
  // read: the header
  png_uint_32 width = 0, height = 0;
  int depth = 0, channels = 0;
  bool alphaDropped = false;
  std::size_t rowBytes = 0;
};

void onPngError(png_structp png, png_const_charp message) {
  auto* s = static_cast<PngState*>(png_get_error_ptr(png));
  std::snprintf(s->error, sizeof s->error, "%s", message);
  png_longjmp(png, 1);
}
void onPngWarning(png_structp, png_const_charp) {}

bool readHeader(PngState& s) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  png_init_io(s.png, s.file);
  png_read_info(s.png, s.info);
  int colour = png_get_color_type(s.png, s.info);
  int depth = png_get_bit_depth(s.png, s.info);
  if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(s.png);
  // Grey values of 1, 2 or 4 bits become one byte each, unscaled.
  if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_packing(s.png);
  if ((colour & PNG_COLOR_MASK_ALPHA) || png_get_valid(s.png, s.info, PNG_INFO_tRNS)) {
    png_set_strip_alpha(s.png);
    s.alphaDropped = true;
  }
  if (depth == 16 && std::endian::native == std::endian::little) png_set_swap(s.png);
  png_set_interlace_handling(s.png);
  png_read_update_info(s.png, s.info);
  s.width = png_get_image_width(s.png, s.info);
  s.height = png_get_image_height(s.png, s.info);
  s.depth = png_get_bit_depth(s.png, s.info);
  s.channels = png_get_channels(s.png, s.info);
  s.rowBytes = png_get_rowbytes(s.png, s.info);
  return true;
}

bool readImage(PngState& s, png_bytepp rows) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  png_read_image(s.png, rows);
  png_read_end(s.png, s.info);
  return true;
}

bool writeImage(PngState& s, int channels, png_bytepp rows, const char* title) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  png_set_IHDR(s.png, s.info, s.width, s.height, 8, channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (title && *title) {
    png_text text{};
    text.compression = PNG_TEXT_COMPRESSION_NONE;
    text.key = const_cast<char*>("Title");
    text.text = const_cast<char*>(title);
    png_set_text(s.png, s.info, &text, 1);
  }
  png_write_info(s.png, s.info);
  png_write_image(s.png, rows);
  png_write_end(s.png, s.info);
  return true;
}

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<unsigned char>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}
void noFlush(png_structp) {}

struct ReadGuard {
  PngState& s;
  ~ReadGuard() {
    png_destroy_read_struct(&s.png, &s.info, nullptr);
    if (s.file) std::fclose(s.file);
  }
};
struct WriteGuard {
  PngState& s;
  ~WriteGuard() {
    png_destroy_write_struct(&s.png, &s.info);
    if (s.file) std::fclose(s.file);
  }
};

}  // namespace

FileStream readPng(const fs::path& path) {
  uint64_t size = fileSize(path);
  PngState s;
  ReadGuard guard{s};
  s.file = std::fopen(path.c_str(), "rb");
  if (!s.file) fileError(path, std::string("cannot open: ") + std::strerror(errno));
  unsigned char signature[8];
  if (std::fread(signature, 1, 8, s.file) != 8 || png_sig_cmp(signature, 0, 8) != 0) {
    fileError(path, "not a PNG file (the PNG signature is missing)");
  }
  s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &s, onPngError, onPngWarning);
  if (s.png) s.info = png_create_info_struct(s.png);
  if (!s.png || !s.info) fileError(path, "out of memory");
  png_set_sig_bytes(s.png, 8);
  if (!readHeader(s)) fileError(path, std::string("malformed PNG file (") + s.error + ")");
  if ((s.depth != 8 && s.depth != 16) || (s.channels != 1 && s.channels != 3)) {
    fileError(path, "unsupported PNG layout (" + std::to_string(s.channels) + " channels of " +
                        std::to_string(s.depth) + " bits)");
  }
  kxType type = s.depth == 8 ? 0 : 2;
  // Deflate expands at most about 1032 times; a larger claim is a malformed file.
  uint64_t maxBytes = (size + 1024) * 1100 * (s.depth == 16 ? 2 : 1);
  FileStream out;
  out.type = type;
  kxhost::Matrix& m =
      addMatrix(out.stream, type, s.width, s.height, s.channels, defaultName(path, 0, 1), path, maxBytes);
  // libpng decodes straight into the matrix rows. A 16-bit row fills the front half of its 32-bit
  // row and is widened in place from the back, where no sample is overwritten before it is read.
  const std::size_t samples = std::size_t(s.width) * static_cast<std::size_t>(s.channels);
  if (s.rowBytes != samples * static_cast<std::size_t>(s.depth / 8)) {
    fileError(path, "unsupported PNG layout (" + std::to_string(s.rowBytes) + " bytes per row)");
  }
  auto** rows = reinterpret_cast<png_bytep*>(m.rows());
  if (!readImage(s, rows)) fileError(path, std::string("truncated or malformed PNG file (") + s.error + ")");
  if (type == 2) {
    for (png_uint_32 y = 0; y < s.height; ++y) {
      unsigned char* row = rows[y];
      for (std::size_t k = samples; k-- > 0;) {
        uint16_t v;
        std::memcpy(&v, row + 2 * k, 2);
        const int32_t w = v;
        std::memcpy(row + 4 * k, &w, 4);
      }
    }
  }
  png_textp texts = nullptr;
  int textCount = png_get_text(s.png, s.info, &texts, nullptr);
  for (int i = 0; i < textCount; ++i) {
    if (std::strcmp(texts[i].key, "Title") == 0 && texts[i].text) m.info().Name = toLatin1(texts[i].text).c_str();
  }
  if (s.alphaDropped) out.notes.push_back(path.string() + ": the alpha channel is not read");
  return out;
}

void writePng(const fs::path& file, const fs::path& shownAs, kxType type, const kxhost::Stream& stream) {
  const auto& ms = stream.matrices;
  if (type != 0) {
    fileError(shownAs, "a .png file holds 8-bit values, not " + typeName(type) + ": write it as .tif or .npy");
  }
  if (ms.size() != 1) {
    fileError(shownAs, "a .png file holds one matrix, the stream holds " + std::to_string(ms.size()) +
                           ": write it as .tif (one page per matrix) or .npy");
  }
  const kxhost::Matrix& m = *ms[0];
  const kxMInfo& info = m.info();
  if (info.Planes != 1 && info.Planes != 3) {
    fileError(shownAs, "a .png file holds 1 or 3 planes, the matrix has " + std::to_string(info.Planes) +
                           ": write it as .tif or .npy");
  }
  if (info.X <= 0 || info.Y <= 0)
    fileError(shownAs, "the matrix has no pixels, which PNG cannot hold: write it as .npy");

  PngState s;
  WriteGuard guard{s};
  s.file = std::fopen(file.c_str(), "wb");
  if (!s.file) fileError(shownAs, std::string("cannot write: ") + std::strerror(errno));
  s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &s, onPngError, onPngWarning);
  if (s.png) s.info = png_create_info_struct(s.png);
  if (!s.png || !s.info) fileError(shownAs, "out of memory");
  png_init_io(s.png, s.file);
  s.width = static_cast<png_uint_32>(info.X);
  s.height = static_cast<png_uint_32>(info.Y);
  std::vector<png_bytep> rows(s.height);
  for (png_uint_32 y = 0; y < s.height; ++y)
    rows[y] = static_cast<png_bytep>(const_cast<void*>(m.data())) + std::size_t(y) * m.bytes() / s.height;
  std::string title = toUtf8(info.Name.c_str());
  if (!writeImage(s, info.Planes, rows.data(), title.c_str()))
    fileError(shownAs, std::string("cannot write (") + s.error + ")");
  std::FILE* f = s.file;
  s.file = nullptr;
  if (std::fclose(f) != 0) fileError(shownAs, "cannot write: the disk may be full");
}

std::vector<unsigned char> encodePng(int width, int height, int channels, const unsigned char* pixels) {
  std::vector<unsigned char> out;
  PngState s;
  WriteGuard guard{s};
  s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &s, onPngError, onPngWarning);
  if (s.png) s.info = png_create_info_struct(s.png);
  if (!s.png || !s.info) return {};
  s.width = static_cast<png_uint_32>(width);
  s.height = static_cast<png_uint_32>(height);
  std::vector<png_bytep> rows(s.height);
  for (int y = 0; y < height; ++y) {
    rows[static_cast<std::size_t>(y)] =
        const_cast<png_bytep>(pixels) + static_cast<std::size_t>(y) * static_cast<std::size_t>(width * channels);
  }
  png_set_write_fn(s.png, &out, appendBytes, noFlush);
  if (!writeImage(s, channels, rows.data(), nullptr)) return {};
  return out;
}

}  // namespace kxrun
