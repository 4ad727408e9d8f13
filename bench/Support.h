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
// These four read the CPU time of the benchmark's one thread. Three more read the wall clock, since
// their work is spread over threads:
//   t1, t2  the entry with the host at one thread and at two, for the processors the host splits
//           into bands; on a 64 x 64 corner of the same inputs (combination COMBO@64, kind
//           threads, counters t1 and t2), a run too small to split, where two threads must cost
//           nothing;
//   cvmt    the OpenCV operation at OpenCV's default threading (every core).
// Items are pixels, so items per second compare across the kinds of one row.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <opencv2/core.hpp>
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

using Setup = std::function<void(kxhost::Instance&)>;

// Runs the instance once per iteration; stops with the error text on failure.
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

// Replaces every input matrix by the first side x side pixels of it (all its planes): the values
// stay those the setup chose (a divisor stays non-zero). Returns the new pixel count.
inline int64_t cropInputs(kxhost::Instance& inst, int32_t side, int64_t pixels) {
  int64_t before = 0, after = 0;
  for (kxhost::Pin& pin : inst.inputs) {
    for (std::unique_ptr<kxhost::Matrix>& m : pin.stream.matrices) {
      kxMInfo info = m->info();
      before = int64_t(info.X) * info.Y;
      info.X = std::min(info.X, side);
      info.Y = std::min(info.Y, side);
      after = int64_t(info.X) * info.Y;
      auto small = std::make_unique<kxhost::Matrix>(m->type(), info);
      std::memcpy(small->data(), m->data(), small->bytes());
      m = std::move(small);
    }
  }
  return before > 0 ? pixels * after / before : 0;
}

// The entry by the wall clock with the host at one thread and at two (kinds t1 and t2), each run
// again and again as the other rows are, so that each thread keeps its own band of the buffers warm.
inline void addThreadRuns(const std::string& proc, const std::string& combo, const Setup& setup, int64_t pixels) {
  for (unsigned threads : {1u, 2u}) {
    benchmark::RegisterBenchmark(benchName(proc, combo, threads == 1 ? "t1" : "t2").c_str(),
                                 [proc, setup, pixels, threads](benchmark::State& state) {
                                   kxhost::Instance inst = instance(proc.c_str());
                                   setup(inst);
                                   kxhost::setThreads(threads);
                                   runEntry(state, inst, pixels);
                                   kxhost::setThreads(1);
                                 })
        ->Unit(benchmark::kMillisecond)
        ->MinWarmUpTime(0.2)
        ->UseRealTime();
  }
}

// The same on a corner of side x side pixels of the inputs (combination COMBO@side), a run too
// small to split, where two threads must cost nothing. A run of a microsecond is at the mercy of
// where its buffers fall, so one instance runs at one thread and at two in turn, on the same buffers
// and at the same moments; the rates go to the counters t1 and t2 (pixels per second).
inline void addSmallThreadRuns(const std::string& proc, const std::string& combo, const Setup& setup, int64_t pixels,
                               int32_t side = 64) {
  benchmark::RegisterBenchmark(benchName(proc, combo + "@" + std::to_string(side), "threads").c_str(),
                               [proc, setup, pixels, side](benchmark::State& state) {
                                 kxhost::Instance inst = instance(proc.c_str());
                                 setup(inst);
                                 const int64_t n = cropInputs(inst, side, pixels);
                                 double seconds[2] = {0, 0};
                                 for (auto _ : state) {
                                   double both = 0;
                                   for (unsigned threads : {1u, 2u}) {
                                     kxhost::setThreads(threads);
                                     const auto start = std::chrono::steady_clock::now();
                                     const kxhost::RunResult r = inst.run();
                                     const std::chrono::duration<double> took =
                                         std::chrono::steady_clock::now() - start;
                                     if (!r.completed) state.SkipWithError(r.error.c_str());
                                     seconds[threads - 1] += took.count();
                                     both += took.count();
                                   }
                                   state.SetIterationTime(both);
                                 }
                                 kxhost::setThreads(1);
                                 const double done = double(n) * double(state.iterations());
                                 state.counters["t1"] = seconds[0] > 0 ? done / seconds[0] : 0;
                                 state.counters["t2"] = seconds[1] > 0 ? done / seconds[1] : 0;
                               })
      ->Unit(benchmark::kMicrosecond)
      ->MinWarmUpTime(0.2)
      ->UseManualTime();
}

// The entry on an instance that `setup` prepares, and for the processors the host splits into
// bands its thread rows.
inline void addEntry(const std::string& proc, const std::string& combo, Setup setup, int64_t pixels = kPixels) {
  registerBench(benchName(proc, combo, "rk"), [proc, setup, pixels](benchmark::State& state) {
    kxhost::Instance inst = instance(proc.c_str());
    setup(inst);
    runEntry(state, inst, pixels);
  });
  if (!kxhost::elementLocal(proc.c_str())) return;
  addThreadRuns(proc, combo, setup, pixels);
  addSmallThreadRuns(proc, combo, setup, pixels);
}

// A body prepared once (buffers allocated and filled) and run once per iteration.
using Body = std::function<void()>;

// An OpenCV body ("cv") is also timed at OpenCV's default threading, by the wall clock ("cvmt").
inline void addLoop(const std::string& proc, const std::string& combo, const char* kind, std::function<Body()> prepare,
                    int64_t pixels = kPixels) {
  auto loop = [prepare, pixels](benchmark::State& state) {
    Body body = prepare();
    for (auto _ : state) {
      body();
      benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * pixels);
  };
  registerBench(benchName(proc, combo, kind), loop);
  if (std::string(kind) != "cv") return;
  benchmark::RegisterBenchmark(benchName(proc, combo, "cvmt").c_str(),
                               [loop](benchmark::State& state) {
                                 cv::setNumThreads(-1);
                                 loop(state);
                                 cv::setNumThreads(1);
                               })
      ->Unit(benchmark::kMillisecond)
      ->MinWarmUpTime(0.2)
      ->UseRealTime();
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
