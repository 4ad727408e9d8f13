// Fixed-threshold binarisation and mean/sigma features through the real entry, beside memcpy of the
// same bytes.
#include "Support.h"

namespace {

using namespace rkbench;

constexpr int64_t kPixels = int64_t(kSide) * kSide;

void BM_BinImage_u8(benchmark::State& state) {
  auto inst = instance("_BinImage");
  fillInput(inst.inputs[0], 0, kSide, kSide);
  inst.outputs[0].type = 0;
  runEntry(state, inst, kPixels);
}

// One 8-bit image read and one written: memcpy of one image moves the same bytes.
void BM_Memcpy_BinImage_u8(benchmark::State& state) { runMemcpy(state, std::size_t(kPixels), kPixels); }

// What every run pays the host before the kernel starts: a new zero-filled output matrix of the
// image's size (on this allocator large buffers come fresh from the system, page faults included).
void BM_NewOutputMatrix(benchmark::State& state) {
  kxMInfo info;
  info.X = kSide;
  info.Y = kSide;
  info.Planes = 1;
  const auto type = static_cast<kxType>(state.range(0));
  for (auto _ : state) {
    kxhost::Matrix m(type, info);
    benchmark::DoNotOptimize(m.data());
  }
  state.SetItemsProcessed(state.iterations() * kPixels);
}

void BM_BinImage_f32(benchmark::State& state) {
  auto inst = instance("_BinImage");
  kxhost::Matrix& m = fillInput(inst.inputs[0], 3, kSide, kSide);
  // Finite values around the threshold rather than the byte pattern's arbitrary floats.
  auto* p = m.as<float>();
  for (std::size_t i = 0; i < m.count(); ++i) p[i] = static_cast<float>((i * 37) % 256) + 0.5f;
  inst.outputs[0].type = 3;
  runEntry(state, inst, kPixels);
}

void BM_Memcpy_BinImage_f32(benchmark::State& state) {
  runMemcpy(state, std::size_t(kPixels) * sizeof(float), kPixels);
}

// The default feature output is double; an 8-bit image is read twice (sums, then deviations) and
// the output is four bytes per plane, so memcpy of the input image is the reference.
void BM_MittelSigma_u8_f64(benchmark::State& state) {
  auto inst = instance("_MittelSigma");
  fillInput(inst.inputs[0], 0, kSide, kSide);
  inst.outputs[0].type = 4;
  runEntry(state, inst, kPixels);
}

void BM_MittelSigma_u8_i32(benchmark::State& state) {
  auto inst = instance("_MittelSigma");
  fillInput(inst.inputs[0], 0, kSide, kSide);
  inst.outputs[0].type = 2;
  runEntry(state, inst, kPixels);
}

void BM_Memcpy_MittelSigma_u8(benchmark::State& state) { runMemcpy(state, std::size_t(kPixels), kPixels); }

}  // namespace

// Each reference runs first, and every benchmark warms up before it is timed: the first runs of an
// entry take their output matrices from fresh pages, later runs from the heap glibc keeps (for
// matrices below its 32 MiB mapping ceiling; the 64 MiB float output is mapped afresh every run,
// which BM_NewOutputMatrix/3 measures on its own;
// GLIBC_TUNABLES=glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=2000000000 keeps it on the heap).
BENCHMARK(BM_Memcpy_BinImage_u8)->MinWarmUpTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NewOutputMatrix)->Arg(0)->MinWarmUpTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BinImage_u8)->MinWarmUpTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy_MittelSigma_u8)->MinWarmUpTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MittelSigma_u8_f64)->MinWarmUpTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MittelSigma_u8_i32)->MinWarmUpTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy_BinImage_f32)->MinWarmUpTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NewOutputMatrix)->Arg(3)->MinWarmUpTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BinImage_f32)->MinWarmUpTime(0.3)->Unit(benchmark::kMillisecond);
