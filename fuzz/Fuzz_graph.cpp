// Fuzz target: kxrun's graph files (JSON with comments) read and checked as `kxrun graph` does
// before anything runs, against the real plug-in's catalogue. A UsageError (a malformed or
// inconsistent graph) is the expected way out; anything else is a finding.
#include <unistd.h>

#include <fstream>

#include "Graph.h"
#include "Text.h"

namespace {

// Checking a graph creates the temporary files of its outputs; the fuzzer keeps them in its own
// directory rather than wherever a mutated path points.
bool pathsStayHere(const kxrun::Json& value) {
  if (value.is_string()) return value.get_ref<const std::string&>().find_first_of("/\\") == std::string::npos;
  if (!value.is_structured()) return true;
  for (const auto& item : value.items())
    if (!pathsStayHere(item.value())) return false;
  return true;
}

struct Setup {
  kxhost::Plugin plugin{kxhost::Plugin::defaultPath(), /*allowMissing=*/true};
  kxrun::fs::path dir = kxrun::fs::temp_directory_path() / ("rkfuzz-graph-" + std::to_string(::getpid()));
  Setup() {
    kxrun::fs::create_directories(dir);
    // Sources the seeds name, so that checking gets as far as reading them.
    std::ofstream(dir / "in.pgm", std::ios::binary) << "P5\n3 2\n255\n" << std::string("\x00\x10\x20\x30\x40\xff", 6);
    std::ofstream(dir / "in.ppm", std::ios::binary) << "P6\n1 1\n255\n" << std::string("\x01\x02\x03", 3);
  }
  ~Setup() {
    std::error_code ec;
    kxrun::fs::remove_all(dir, ec);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  try {
    kxrun::Json doc = kxrun::parseJson(std::string(reinterpret_cast<const char*>(data), size), "fuzz.json");
    if (!pathsStayHere(doc)) return 0;
    kxrun::GraphOptions options;
    kxrun::Graph graph(setup.plugin, doc, setup.dir, "fuzz.json", options);
  } catch (const kxrun::UsageError&) {
  }
  return 0;
}
