// The demo: a built-in graph over every processor family, run on two synthesised pictures, with a
// contact sheet of the results.
#pragma once

#include <filesystem>

#include "kxhost/Plugin.h"

namespace kxrun {

// Writes the pictures, the graph, every output and DIR/index.html; returns the exit status.
int runDemo(const kxhost::Plugin& plugin, const std::filesystem::path& dir, bool progress);

// The demo's graph as JSON text; its file paths are relative to the demo directory.
const char* demoGraphText();

}  // namespace kxrun
