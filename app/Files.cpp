// Format selection, temporary output files and the size checks every reader makes.
#include "Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Interrupt.h"
#include "Limits.h"
#include "Text.h"

namespace kxrun {

std::optional<Format> formatOf(const fs::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext == ".npy") return Format::Npy;
  if (ext == ".tif" || ext == ".tiff") return Format::Tiff;
  if (ext == ".png") return Format::Png;
  if (ext == ".pgm") return Format::Pgm;
  if (ext == ".ppm") return Format::Ppm;
  return std::nullopt;
}

Format requireFormat(const fs::path& path) {
  std::optional<Format> f = formatOf(path);
  if (!f) {
    fileError(path, "unknown file format '" + path.extension().string() +
                        "' (kxrun reads and writes .npy, .tif, .tiff, .png, .pgm and .ppm)");
  }
  return *f;
}

void fileError(const fs::path& path, const std::string& text) { throw UsageError(path.string() + ": " + text); }

FileStream readStream(const fs::path& path) {
  Format format = requireFormat(path);
  std::error_code ec;
  if (!fs::exists(path, ec)) fileError(path, "no such file");
  if (fs::is_directory(path, ec)) fileError(path, "is a directory, not a file");
  switch (format) {
    case Format::Npy:
      return readNpy(path);
    case Format::Tiff:
      return readTiff(path);
    case Format::Png:
      return readPng(path);
    case Format::Pgm:
    case Format::Ppm:
      return readPnm(path);
  }
  fileError(path, "unknown file format");
}

void checkType(Format format, kxType type, const fs::path& path) {
  if (kxhost::elementSize(type) == 0) return;
  if ((format == Format::Png || format == Format::Pgm || format == Format::Ppm) && type != 0) {
    fileError(path, "a " + path.extension().string() + " file holds 8-bit values, not " + typeName(type) +
                        ": write .tif or .npy, or choose the output type uint8");
  }
}

void writeStream(Format format, const fs::path& file, const fs::path& shownAs, kxType type,
                 const kxhost::Stream& stream) {
  if (kxhost::elementSize(type) == 0) {
    fileError(shownAs, "the host has no storage for element type " + typeName(type) + ", so nothing can be written");
  }
  switch (format) {
    case Format::Npy:
      return writeNpy(file, shownAs, type, stream);
    case Format::Tiff:
      return writeTiff(file, shownAs, type, stream);
    case Format::Png:
      return writePng(file, shownAs, type, stream);
    case Format::Pgm:
      return writePnm(file, shownAs, type, stream, false);
    case Format::Ppm:
      return writePnm(file, shownAs, type, stream, true);
  }
}

// ---- OutputFile ----------------------------------------------------------------------------------

namespace {
// The permissions a plain new file gets, so that a renamed temporary file looks like one.
mode_t newFileMode() {
  static const mode_t mode = [] {
    mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}
}  // namespace

OutputFile::OutputFile(fs::path target) : target_(std::move(target)) {
  std::error_code ec;
  if (fs::is_directory(target_, ec)) fileError(target_, "is a directory; give a file name");
  fs::path dir = target_.parent_path();
  if (dir.empty()) dir = ".";
  // A hidden name beside the target, so that rename() stays within one file system.
  std::string hidden(1, '.');
  hidden.append(target_.filename().string()).append(".tmp-XXXXXX");
  // Registered for removal should kxrun be interrupted before the file is renamed.
  std::string name;
  int fd = -1;
  registration_ = createTemporary((dir / hidden).string(), name, fd);
  if (registration_ < 0) fileError(target_, std::string("cannot write here: ") + std::strerror(errno));
  fchmod(fd, newFileMode());
  close(fd);
  temp_ = fs::path(name);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : target_(std::move(other.target_)), temp_(std::move(other.temp_)), registration_(other.registration_) {
  other.temp_.clear();
  other.registration_ = -1;
}

OutputFile::~OutputFile() {
  if (!temp_.empty()) {
    std::error_code ec;
    fs::remove(temp_, ec);
  }
  releaseTemporary(registration_);
}

void OutputFile::commit() {
  if (temp_.empty()) return;
  pauseBeforeRenameForTests(temp_.string());
  std::error_code ec;
  fs::rename(temp_, target_, ec);
  if (ec) fileError(target_, "cannot replace the file: " + ec.message());
  temp_.clear();
  releaseTemporary(registration_);
  registration_ = -1;
}

void writeText(OutputFile& file, const std::string& text) {
  std::FILE* f = std::fopen(file.temp().c_str(), "wb");
  if (!f) fileError(file.target(), std::string("cannot write: ") + std::strerror(errno));
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok) fileError(file.target(), "cannot write: the disk may be full");
  file.commit();
}

// ---- helpers for the readers ---------------------------------------------------------------------

std::string defaultName(const fs::path& path, std::size_t index, std::size_t count) {
  std::string stem = toLatin1(path.stem().string());
  return count == 1 ? stem : stem + "[" + std::to_string(index) + "]";
}

std::string outputKey(const fs::path& path) {
  std::error_code ec;
  fs::path key = fs::weakly_canonical(path, ec);
  if (ec) fileError(path, "cannot write here: " + ec.message());
  return key.string();
}

uint64_t fileSize(const fs::path& path) {
  std::error_code ec;
  uintmax_t size = fs::file_size(path, ec);
  if (ec) fileError(path, "cannot read: " + ec.message());
  return size;
}

namespace {
std::string dims(kxType type, int64_t x, int64_t y, int64_t planes) {
  return std::to_string(x) + " x " + std::to_string(y) + " x " + std::to_string(planes) + " " + typeName(type);
}
kxMInfo infoOf(int64_t x, int64_t y, int64_t planes, const std::string& name) {
  kxMInfo info;
  info.X = static_cast<int32_t>(x);
  info.Y = static_cast<int32_t>(y);
  info.Planes = static_cast<int32_t>(planes);
  info.Name = name.c_str();
  return info;
}
}  // namespace

uint64_t matrixBytes(kxType type, int64_t x, int64_t y, int64_t planes, const fs::path& path) {
  if (x < 0 || y < 0 || planes < 0 || x > INT32_MAX || y > INT32_MAX || planes > INT32_MAX) {
    fileError(path, "a matrix of " + dims(type, x, y, planes) + " elements is too large for the host");
  }
  try {
    return kxhost::Matrix::requiredBytes(type, infoOf(x, y, planes, ""), hostLimits().maxMatrixBytes);
  } catch (kxEx* e) {
    std::string text = e->kxGetText();
    delete e;
    fileError(path, "a matrix of " + dims(type, x, y, planes) + " elements is too large for the host (" + text + ")");
  }
}

kxhost::Matrix& addMatrix(kxhost::Stream& stream, kxType type, int64_t x, int64_t y, int64_t planes,
                          const std::string& name, const fs::path& path, uint64_t maxBytes) {
  if (matrixBytes(type, x, y, planes, path) > maxBytes) {
    fileError(path, "declares a matrix of " + dims(type, x, y, planes) +
                        " elements, more than the file can hold: it is truncated or malformed");
  }
  // A matrix without elements still gets a row pointer per row, which no data in the file bounds:
  // a few bytes of header could otherwise claim gigabytes of them.
  constexpr uint64_t kRowAllowance = uint64_t(1) << 20;
  if (y > 0 && uint64_t(y) * sizeof(void*) > std::max(maxBytes, kRowAllowance)) {
    fileError(path, "declares a matrix of " + dims(type, x, y, planes) + " elements, whose " + std::to_string(y) +
                        " rows the file cannot hold: it is truncated or malformed");
  }
  if (stream.matrices.size() >= static_cast<std::size_t>(INT32_MAX)) fileError(path, "too many matrices for the host");
  try {
    return stream.add(type, infoOf(x, y, planes, name));
  } catch (kxEx* e) {
    std::string text = e->kxGetText();
    delete e;
    fileError(path, text);
  }
}

}  // namespace kxrun
