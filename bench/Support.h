// Benchmark support: processor instances run through the real loader and entry, the reference
// loops and OpenCV calls beside them, and the naming that scripts/bench reads back.
//
// Every benchmark is named PROCESSOR/COMBINATION/KIND, for example _AddImage/u8/rk:
//   rk      the processor's entry, run again and again on one instance as a host runs a graph, so
//           that the host's buffer pool hands every run warm output pages;
//   kernel  a plain loop of the same element rule written here and compiled at -O3, on warm
//           buffers, without the host: what the entry costs beyond its kernel is host overhead;
//   cv      the closest OpenCV operation, single-threaded, on warm buffers;
//   memcpy  memcpy of as many bytes as the processor reads and writes (half of them copied), on
//           warm buffers: the memory-bandwidth limit.
// Items are pixels, so items per second compare across the four kinds of one row.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kxhost/Plugin.h"
#include "kxhost/Runtime.h"

namespace rkbench {

constexpr int32_t kSide = 4096;
constexpr int64_t kPixels = int64_t(kSide) * kSide;

inline kxhost::Plugin& plugin() {
  static kxhost::Plugin p(RK_PLUGIN_PATH);
  return p;
}

inline kxhost::Instance instance(const char* entry) { return plugin().instantiate(plugin().find(entry)); }

template <class T>
constexpr kxType codeOf() {
  if constexpr (std::is_same_v<T, uint8_t>) return 0;
  if constexpr (std::is_same_v<T, int32_t>) return 2;
  if constexpr (std::is_same_v<T, float>) return 3;
  return 4;
}

template <class T>
const char* comboName() {
  if constexpr (std::is_same_v<T, uint8_t>) return "u8";
  if constexpr (std::is_same_v<T, int32_t>) return "i32";
  if constexpr (std::is_same_v<T, float>) return "f32";
  return "f64";
}

// The values every input holds: all byte values for 8-bit images; for floating images the same
// spread of 0.5 to 255.5, finite and never zero (a divisor).
template <class T>
T patternValue(std::size_t i, unsigned salt) {
  if constexpr (std::is_same_v<T, uint8_t>)
    return static_cast<uint8_t>(i * 7 + 3 + salt * 101);
  else
    return static_cast<T>(static_cast<double>((i * 37 + salt * 59) % 256) + 0.5);
}

template <class T>
void fillPattern(T* p, std::size_t n, unsigned salt) {
  for (std::size_t i = 0; i < n; ++i) p[i] = patternValue<T>(i, salt);
}

template <class T>
std::vector<T> pattern(std::size_t n, unsigned salt) {
  std::vector<T> v(n);
  fillPattern(v.data(), n, salt);
  return v;
}

// Puts one x * y * planes matrix of element type T on an input pin, filled with the pattern.
template <class T>
kxhost::Matrix& fillInput(kxhost::Pin& pin, int32_t x, int32_t y, int32_t planes = 1, unsigned salt = 0) {
  pin.type = codeOf<T>();
  pin.connected = true;
  kxMInfo info;
  info.X = x;
  info.Y = y;
  info.Planes = planes;
  kxhost::Matrix& m = pin.stream.add(codeOf<T>(), info);
  fillPattern(m.as<T>(), m.count(), salt);
  return m;
}

inline std::string benchName(const std::string& proc, const std::string& combo, const char* kind) {
  return proc + "/" + combo + "/" + kind;
}

inline void registerBench(const std::string& name, std::function<void(benchmark::State&)> fn) {
  benchmark::RegisterBenchmark(name.c_str(), [fn](benchmark::State& s) { fn(s); })
      ->Unit(benchmark::kMillisecond)
      ->MinWarmUpTime(0.2);
}

// The entry on an instance that `setup` prepares; stops with the error text on failure.
inline void addEntry(const std::string& proc, const std::string& combo, std::function<void(kxhost::Instance&)> setup,
                     int64_t pixels = kPixels) {
  registerBench(benchName(proc, combo, "rk"), [proc, setup, pixels](benchmark::State& state) {
    kxhost::Instance inst = instance(proc.c_str());
    setup(inst);
    for (auto _ : state) {
      kxhost::RunResult r = inst.run();
      if (!r.completed) {
        state.SkipWithError(r.error.c_str());
        break;
      }
      benchmark::DoNotOptimize(inst.outputs[0].stream.matrices.data());
    }
    state.SetItemsProcessed(state.iterations() * pixels);
  });
}

// A body prepared once (buffers allocated and filled) and run once per iteration.
using Body = std::function<void()>;

inline void addLoop(const std::string& proc, const std::string& combo, const char* kind, std::function<Body()> prepare,
                    int64_t pixels = kPixels) {
  registerBench(benchName(proc, combo, kind), [prepare, pixels](benchmark::State& state) {
    Body body = prepare();
    for (auto _ : state) {
      body();
      benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * pixels);
  });
}

// memcpy of half the bytes the processor reads and writes: memcpy reads and writes each byte once.
inline void addMemcpy(const std::string& proc, const std::string& combo, std::size_t bytesRead,
                      std::size_t bytesWritten, int64_t pixels = kPixels) {
  const std::size_t bytes = (bytesRead + bytesWritten) / 2;
  addLoop(
      proc, combo, "memcpy",
      [bytes] {
        auto src = std::make_shared<std::vector<unsigned char>>(bytes, 1);
        auto dst = std::make_shared<std::vector<unsigned char>>(bytes, 0);
        return Body([src, dst, bytes] { std::memcpy(dst->data(), src->data(), bytes); });
      },
      pixels);
}

// Registration functions of the families, called by main before the benchmarks run.
void registerArithmetic();
void registerLogicGenerators();
void registerSegmentationFeatures();
void registerColourGeometry();

}  // namespace rkbench
