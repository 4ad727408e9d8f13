// Stream files: which format a path names, reading a whole file into a stream, and writing a
// stream through a temporary file that takes the target's name only when it is complete.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kxhost/Runtime.h"

namespace kxrun {

namespace fs = std::filesystem;

enum class Format { Npy, Tiff, Png, Pgm, Ppm };

std::optional<Format> formatOf(const fs::path& path);
// The format a path names by its extension, or a UsageError listing the known ones.
Format requireFormat(const fs::path& path);

// What a file holds: its matrices, all of one element type.
struct FileStream {
  kxType type = 0;
  kxhost::Stream stream;
  std::vector<std::string> notes;  // things the reader left out, for "warning:" lines (UTF-8)
};

// Reads a whole file; a UsageError names the file and says what is wrong with it.
FileStream readStream(const fs::path& path);

// Before a run: a UsageError when files of this format cannot hold elements of this type (codes
// without host storage pass: no matrix of theirs can exist).
void checkType(Format format, kxType type, const fs::path& path);

// Writes the matrices of element type `type` to `file` in the format; a UsageError when the
// format cannot hold them, naming a format that can.
void writeStream(Format format, const fs::path& file, const fs::path& shownAs, kxType type,
                 const kxhost::Stream& stream);

// A file that appears under its name only when complete. It is created beside the target at
// once, so that an unwritable place is found before any work; commit() renames it over the
// target, and the destructor removes it when it was not committed. An interrupted kxrun removes it
// too (Interrupt.h).
class OutputFile {
public:
  explicit OutputFile(fs::path target);
  ~OutputFile();
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const fs::path& target() const { return target_; }
  const fs::path& temp() const { return temp_; }
  void commit();

private:
  fs::path target_;
  fs::path temp_;
  int registration_ = -1;  // for removal on SIGINT, SIGTERM and SIGHUP (Interrupt.h)
};

// Writes text to the output file and commits it.
void writeText(OutputFile& file, const std::string& text);

// ---- shared by the format readers and writers -----------------------------------------------

// Name for a matrix read from a file that carries none: the file's stem, indexed when the file
// holds several.
std::string defaultName(const fs::path& path, std::size_t index, std::size_t count);

// Bytes of a matrix of that size and type, or a UsageError when it is too large for the host.
uint64_t matrixBytes(kxType type, int64_t x, int64_t y, int64_t planes, const fs::path& path);

// Appends a new matrix to the stream after checking its size against the host's limits and
// against `maxBytes`, what the file can possibly hold (a larger claim means the file is
// truncated or malformed).
kxhost::Matrix& addMatrix(kxhost::Stream& stream, kxType type, int64_t x, int64_t y, int64_t planes,
                          const std::string& name, const fs::path& path, uint64_t maxBytes);

// The absolute form of an output path that two outputs naming one file share, or a UsageError when
// the path cannot be resolved (a name too long for the file system, say).
std::string outputKey(const fs::path& path);

// The size of a file in bytes, or a UsageError when it cannot be read.
uint64_t fileSize(const fs::path& path);

// "PATH: text" as a UsageError.
[[noreturn]] void fileError(const fs::path& path, const std::string& text);

// Format readers and writers (one source file each).
FileStream readNpy(const fs::path& path);
void writeNpy(const fs::path& file, const fs::path& shownAs, kxType type, const kxhost::Stream& stream);
FileStream readTiff(const fs::path& path);
void writeTiff(const fs::path& file, const fs::path& shownAs, kxType type, const kxhost::Stream& stream);
FileStream readPng(const fs::path& path);
void writePng(const fs::path& file, const fs::path& shownAs, kxType type, const kxhost::Stream& stream);
FileStream readPnm(const fs::path& path);
void writePnm(const fs::path& file, const fs::path& shownAs, kxType type, const kxhost::Stream& stream, bool colour);

// An 8-bit grey (1 channel) or RGB (3 channels) picture as PNG bytes in memory.
std::vector<unsigned char> encodePng(int width, int height, int channels, const unsigned char* pixels);

}  // namespace kxrun
