// The Netpbm grey and colour formats: PGM (P2, P5) and PPM (P3, P6), one matrix of 1 or 3 planes;
// a maximum value above 255 gives 16-bit samples, read as int32. Values are taken as stored,
// never scaled to the maximum value.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Files.h"
#include "Text.h"

namespace kxrun {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Reads the header and plain (text) data through a small buffer of its own, so that a file is
// never held in memory beside the matrix it fills.
class Scanner {
public:
  Scanner(std::FILE* f, const fs::path& path) : f_(f), path_(path), buf_(1 << 16) {}

  // The byte at the current position, or -1 at the end of the file.
  int peek() {
    if (pos_ == end_ && !refill()) return -1;
    return buf_[pos_];
  }
  void advance() { ++pos_; }
  // Offset in the file of the current position.
  uint64_t offset() const { return consumed_ + pos_; }

  // The next whitespace-separated number of the header or of plain (ASCII) data.
  uint32_t number(const char* what) {
    skipSpaceAndComments();
    if (peek() < 0) fileError(path_, std::string("truncated: ") + what + " is missing");
    uint64_t v = 0;
    bool any = false;
    for (int c = peek(); c >= '0' && c <= '9'; c = peek()) {
      v = v * 10 + static_cast<uint64_t>(c - '0');
      if (v > UINT32_MAX) fileError(path_, std::string("malformed: ") + what + " is too large");
      any = true;
      advance();
    }
    if (!any) fileError(path_, std::string("malformed: ") + what + " is not a number");
    return static_cast<uint32_t>(v);
  }
  void skipSpaceAndComments() {
    for (int c = peek(); c >= 0; c = peek()) {
      if (c == '#') {
        while (peek() >= 0 && peek() != '\n') advance();
      } else if (c != 0 && std::strchr(" \t\r\n\v\f", c)) {
        advance();
      } else {
        break;
      }
    }
  }
  // Binary data starts after exactly one whitespace character following the maximum value.
  uint64_t binaryStart() {
    if (peek() < 0) fileError(path_, "truncated: the pixel data is missing");
    return offset() + 1;
  }

private:
  bool refill() {
    consumed_ += end_;
    pos_ = 0;
    end_ = std::fread(buf_.data(), 1, buf_.size(), f_);
    return end_ > 0;
  }

  std::FILE* f_;
  const fs::path& path_;
  std::vector<unsigned char> buf_;
  std::size_t pos_ = 0, end_ = 0;
  uint64_t consumed_ = 0;  // bytes of the file before the buffer
};

}  // namespace

FileStream readPnm(const fs::path& path) {
  const uint64_t fileBytes = fileSize(path);
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) fileError(path, std::string("cannot open: ") + std::strerror(errno));
  Scanner scan(f.get(), path);
  int magic[2] = {scan.peek(), -1};
  if (magic[0] >= 0) {
    scan.advance();
    magic[1] = scan.peek();
    scan.advance();
  }
  if (magic[0] != 'P' || magic[1] <= 0 || !std::strchr("2356", magic[1])) {
    fileError(path, "not a PGM or PPM file (it must start with P2, P3, P5 or P6)");
  }
  const char kind = static_cast<char>(magic[1]);
  const bool ascii = kind == '2' || kind == '3';
  const int planes = kind == '3' || kind == '6' ? 3 : 1;
  uint32_t width = scan.number("the width");
  uint32_t height = scan.number("the height");
  uint32_t maxval = scan.number("the maximum value");
  if (maxval == 0 || maxval > 65535) fileError(path, "malformed: the maximum value must lie in 1 to 65535");
  const kxType type = maxval > 255 ? 2 : 0;
  const uint64_t count = uint64_t(width) * height * static_cast<uint64_t>(planes);

  // Each value takes at least one byte (binary) or two (plain text); larger claims are malformed.
  uint64_t maxBytes = fileBytes * kxhost::elementSize(type);
  FileStream out;
  out.type = type;
  kxhost::Matrix& m = addMatrix(out.stream, type, width, height, planes, defaultName(path, 0, 1), path, maxBytes);
  auto tooLarge = [&](uint32_t v) {
    fileError(path, "malformed: value " + std::to_string(v) + " exceeds the maximum value " + std::to_string(maxval));
  };
  if (ascii) {
    for (uint64_t k = 0; k < count; ++k) {
      uint32_t v = scan.number("a pixel value");
      if (v > maxval) tooLarge(v);
      if (type == 0)
        m.as<uint8_t>()[k] = static_cast<uint8_t>(v);
      else
        m.as<int32_t>()[k] = static_cast<int32_t>(v);
    }
    return out;
  }

  const uint64_t start = scan.binaryStart();
  const uint64_t size = maxval > 255 ? 2 : 1;
  if (fileBytes < start || fileBytes - start < count * size) {
    fileError(path, "truncated: " + std::to_string(width) + " x " + std::to_string(height) + " pixels need " +
                        std::to_string(count * size) + " bytes of data, the file has " +
                        std::to_string(fileBytes < start ? 0 : fileBytes - start));
  }
  // The samples go straight into the matrix; 16-bit ones fill the front of its 32-bit elements and
  // are widened in place from the back, where no sample is overwritten before it is read.
  auto* bytes = static_cast<unsigned char*>(m.data());
  if (fseeko(f.get(), static_cast<off_t>(start), SEEK_SET) != 0 ||
      std::fread(bytes, 1, count * size, f.get()) != count * size) {
    fileError(path, "cannot read the pixel data");
  }
  if (size == 1) {
    if (maxval < 255) {
      for (uint64_t k = 0; k < count; ++k)
        if (bytes[k] > maxval) tooLarge(bytes[k]);
    }
  } else {
    auto sample = [bytes](uint64_t k) { return uint32_t(bytes[2 * k]) << 8 | bytes[2 * k + 1]; };
    for (uint64_t k = 0; k < count; ++k)
      if (sample(k) > maxval) tooLarge(sample(k));
    auto* dst = m.as<int32_t>();
    for (uint64_t k = count; k-- > 0;) dst[k] = static_cast<int32_t>(sample(k));
  }
  return out;
}

void writePnm(const fs::path& file, const fs::path& shownAs, kxType type, const kxhost::Stream& stream, bool colour) {
  const char* ext = colour ? ".ppm" : ".pgm";
  const int planes = colour ? 3 : 1;
  const auto& ms = stream.matrices;
  if (type != 0) {
    fileError(shownAs, std::string("a ") + ext + " file holds 8-bit values, not " + typeName(type) +
                           ": write it as .tif or .npy");
  }
  if (ms.size() != 1) {
    fileError(shownAs, std::string("a ") + ext + " file holds one matrix, the stream holds " +
                           std::to_string(ms.size()) + ": write it as .tif (one page per matrix) or .npy");
  }
  const kxMInfo& info = ms[0]->info();
  if (info.Planes != planes) {
    std::string other = colour ? ".pgm" : ".ppm";
    fileError(shownAs,
              std::string("a ") + ext + " file holds " + std::to_string(planes) + (colour ? " planes" : " plane") +
                  ", the matrix has " + std::to_string(info.Planes) + ": write it as " +
                  (info.Planes == 1 || info.Planes == 3 ? other + ", .png, " : std::string()) + ".tif or .npy");
  }
  if (info.X <= 0 || info.Y <= 0) fileError(shownAs, "the matrix has no pixels: write it as .npy");
  std::FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) fileError(shownAs, std::string("cannot write: ") + std::strerror(errno));
  bool ok = std::fprintf(f, "P%c\n%d %d\n255\n", colour ? '6' : '5', info.X, info.Y) > 0;
  ok = ok && std::fwrite(ms[0]->data(), 1, ms[0]->bytes(), f) == ms[0]->bytes();
  ok = std::fclose(f) == 0 && ok;
  if (!ok) fileError(shownAs, "cannot write: the disk may be full");
}

}  // namespace kxrun
