// One fuzz entry for every file reader: the input becomes a file of the target's extension and
// goes through the same readStream() that kxrun calls. A UsageError (a malformed file) is the
// expected way out; anything else is a finding.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "Files.h"

#ifndef RK_FUZZ_EXT
#error "RK_FUZZ_EXT names the file extension the reader is chosen by"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The readers work on paths, as kxrun does; a file per process keeps parallel jobs apart.
  static const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("rkfuzz-" + std::to_string(::getpid()) + RK_FUZZ_EXT);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  try {
    kxrun::FileStream file = kxrun::readStream(path);
    // Touch every element, so that a matrix claiming more than it holds shows up under ASan.
    volatile unsigned sum = 0;
    for (const auto& m : file.stream.matrices) {
      const auto* bytes = static_cast<const unsigned char*>(m->data());
      for (std::size_t i = 0; i < m->bytes(); ++i) sum = sum + bytes[i];
    }
  } catch (const std::exception&) {
  }
  std::filesystem::remove(path);
  return 0;
}
