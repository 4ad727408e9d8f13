// Fuzz target for every file reader, built once per format with RK_FUZZ_EXT naming the extension
// the reader is chosen by: the input becomes such a file and goes through the same readStream()
// that kxrun calls. A UsageError (a malformed file) is the expected way out; anything else is a
// finding.
#include <unistd.h>

#include <fstream>

#include "Files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The readers work on paths, as kxrun does; a file per process keeps parallel jobs apart.
  static const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("rkfuzz-" + std::to_string(::getpid()) + RK_FUZZ_EXT);
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), std::streamsize(size));
  try {
    // Touch every element, so that a matrix claiming more than it holds shows up under ASan.
    volatile unsigned sum = 0;
    for (const auto& m : kxrun::readStream(path).stream.matrices)
      for (std::size_t i = 0; i < m->bytes(); ++i) sum = sum + static_cast<const unsigned char*>(m->data())[i];
  } catch (const std::exception&) {
  }
  std::filesystem::remove(path);
  return 0;
}
