// Benchmark support: processor instances run through the real loader and entry, and reference loops.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kxhost/Plugin.h"
#include "kxhost/Runtime.h"

namespace rkbench {

constexpr int32_t kSide = 4096;

inline kxhost::Plugin& plugin() {
  static kxhost::Plugin p(RK_PLUGIN_PATH);
  return p;
}

inline kxhost::Instance instance(const char* entry) { return plugin().instantiate(plugin().find(entry)); }

// Puts one x * y * planes matrix of type code `type` on an input pin, filled with a repeating pattern.
inline kxhost::Matrix& fillInput(kxhost::Pin& pin, kxType type, int32_t x, int32_t y, int32_t planes = 1) {
  pin.type = type;
  pin.connected = true;
  kxMInfo info;
  info.X = x;
  info.Y = y;
  info.Planes = planes;
  kxhost::Matrix& m = pin.stream.add(type, info);
  auto* bytes = static_cast<unsigned char*>(m.data());
  for (std::size_t i = 0; i < m.bytes(); ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
  return m;
}

// Runs the instance once per iteration; stops the benchmark with the error text on failure.
inline void runEntry(benchmark::State& state, kxhost::Instance& inst, int64_t pixels) {
  for (auto _ : state) {
    kxhost::RunResult r = inst.run();
    if (!r.completed) {
      state.SkipWithError(r.error.c_str());
      break;
    }
    benchmark::DoNotOptimize(inst.outputs[0].stream.matrices.data());
  }
  state.SetItemsProcessed(state.iterations() * pixels);
}

// The memory-bandwidth limit: memcpy of `bytes` between warm buffers.
inline void runMemcpy(benchmark::State& state, std::size_t bytes, int64_t pixels) {
  std::vector<unsigned char> src(bytes, 1), dst(bytes, 0);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * pixels);
}

}  // namespace rkbench
