// The Netpbm grey and colour formats: PGM (P2, P5) and PPM (P3, P6), one matrix of 1 or 3 planes;
// a maximum value above 255 gives 16-bit samples, read as int32. Values are taken as stored,
// never scaled to the maximum value.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Files.h"
#include "Text.h"

namespace kxrun {
namespace {

class Scanner {
public:
  Scanner(const std::vector<unsigned char>& bytes, const fs::path& path) : b_(bytes), path_(path) {}

  // The next whitespace-separated number of the header or of plain (ASCII) data.
  uint32_t number(const char* what) {
    skipSpaceAndComments();
    if (pos_ >= b_.size()) fileError(path_, std::string("truncated: ") + what + " is missing");
    uint64_t v = 0;
    std::size_t start = pos_;
    while (pos_ < b_.size() && b_[pos_] >= '0' && b_[pos_] <= '9') {
      v = v * 10 + (b_[pos_] - '0');
      if (v > UINT32_MAX) fileError(path_, std::string("malformed: ") + what + " is too large");
      ++pos_;
    }
    if (pos_ == start) fileError(path_, std::string("malformed: ") + what + " is not a number");
    return static_cast<uint32_t>(v);
  }
  void skipSpaceAndComments() {
    while (pos_ < b_.size()) {
      if (b_[pos_] == '#') {
        while (pos_ < b_.size() && b_[pos_] != '\n') ++pos_;
      } else if (std::strchr(" \t\r\n\v\f", b_[pos_]) && b_[pos_] != 0) {
        ++pos_;
      } else {
        break;
      }
    }
  }
  // Binary data starts after exactly one whitespace character following the maximum value.
  std::size_t binaryStart() {
    if (pos_ >= b_.size()) fileError(path_, "truncated: the pixel data is missing");
    return pos_ + 1;
  }

private:
  const std::vector<unsigned char>& b_;
  const fs::path& path_;
  std::size_t pos_ = 2;
};

}  // namespace

FileStream readPnm(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fileError(path, std::string("cannot open: ") + std::strerror(errno));
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() < 2 || bytes[0] != 'P' || !std::strchr("2356", bytes[1]) || bytes[1] == 0) {
    fileError(path, "not a PGM or PPM file (it must start with P2, P3, P5 or P6)");
  }
  const char kind = static_cast<char>(bytes[1]);
  const bool ascii = kind == '2' || kind == '3';
  const int planes = kind == '3' || kind == '6' ? 3 : 1;
  Scanner scan(bytes, path);
  uint32_t width = scan.number("the width");
  uint32_t height = scan.number("the height");
  uint32_t maxval = scan.number("the maximum value");
  if (maxval == 0 || maxval > 65535) fileError(path, "malformed: the maximum value must lie in 1 to 65535");
  const kxType type = maxval > 255 ? 2 : 0;
  const uint64_t count = uint64_t(width) * height * static_cast<uint64_t>(planes);

  // Each value takes at least one byte (binary) or two (plain text); larger claims are malformed.
  uint64_t maxBytes = uint64_t(bytes.size()) * kxhost::elementSize(type);
  FileStream out;
  out.type = type;
  kxhost::Matrix& m = addMatrix(out.stream, type, width, height, planes, defaultName(path, 0, 1), path, maxBytes);
  auto value = [&](uint64_t k, uint32_t v) {
    if (v > maxval) {
      fileError(path, "malformed: value " + std::to_string(v) + " exceeds the maximum value " + std::to_string(maxval));
    }
    if (type == 0)
      m.as<uint8_t>()[k] = static_cast<uint8_t>(v);
    else
      m.as<int32_t>()[k] = static_cast<int32_t>(v);
  };
  if (ascii) {
    for (uint64_t k = 0; k < count; ++k) value(k, scan.number("a pixel value"));
  } else {
    std::size_t start = scan.binaryStart();
    const uint64_t size = maxval > 255 ? 2 : 1;
    if (bytes.size() < start || bytes.size() - start < count * size) {
      fileError(path, "truncated: " + std::to_string(width) + " x " + std::to_string(height) + " pixels need " +
                          std::to_string(count * size) + " bytes of data, the file has " +
                          std::to_string(bytes.size() < start ? 0 : bytes.size() - start));
    }
    const unsigned char* p = bytes.data() + start;
    for (uint64_t k = 0; k < count; ++k) {
      value(k, size == 1 ? p[k] : (uint32_t(p[2 * k]) << 8 | p[2 * k + 1]));
    }
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
