// Rotation and RGB split through the real entries, beside memcpy and a pack-and-unpack loop.
#include <cstdint>
#include <cstring>
#include <vector>

#include "Support.h"

namespace {

using namespace rkbench;

constexpr int32_t kRotSide = 2048;
constexpr int64_t kRotPixels = int64_t(kRotSide) * kRotSide;

void rotate(benchmark::State& state, double degrees) {
  auto inst = instance("_TransformImage");
  fillInput(inst.inputs[0], 0, kRotSide, kRotSide, 3);
  inst.outputs[0].type = 0;
  inst.params[0].lVal = 2;
  inst.params[1].dblVal = degrees;
  runEntry(state, inst, kRotPixels);
}

void BM_TransformImage_rot30_u8x3(benchmark::State& state) { rotate(state, 30.0); }
void BM_TransformImage_rot90_u8x3(benchmark::State& state) { rotate(state, 90.0); }

// The bytes a rotation must at least move: the three-plane image read once and written once.
void BM_Memcpy_Rotate_u8x3(benchmark::State& state) { runMemcpy(state, std::size_t(kRotPixels) * 3, kRotPixels); }

// What the general rotation does besides rotating: pack three 8-bit planes into 32-bit pixels and
// unpack them again, with no geometry in between.
void BM_PackUnpack_u8x3(benchmark::State& state) {
  const std::size_t n = std::size_t(kRotPixels);
  std::vector<uint8_t> in(n * 3), out(n * 3);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 7 + 3);
  std::vector<uint32_t> packed(n);
  for (auto _ : state) {
    for (std::size_t k = 0; k < n; ++k)
      packed[k] = uint32_t(in[3 * k]) | uint32_t(in[3 * k + 1]) << 8 | uint32_t(in[3 * k + 2]) << 16;
    benchmark::ClobberMemory();
    for (std::size_t k = 0; k < n; ++k) {
      out[3 * k] = static_cast<uint8_t>(packed[k]);
      out[3 * k + 1] = static_cast<uint8_t>(packed[k] >> 8);
      out[3 * k + 2] = static_cast<uint8_t>(packed[k] >> 16);
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kRotPixels);
}

void BM_RGBSplitt_u8(benchmark::State& state) {
  auto inst = instance("_RGBSplitt");
  fillInput(inst.inputs[0], 0, kSide, kSide, 3);
  for (auto& pin : inst.outputs) {
    pin.type = 0;
    pin.connected = true;
  }
  runEntry(state, inst, int64_t(kSide) * kSide);
}

// Three planes read and the same bytes written to three outputs.
void BM_Memcpy_RGBSplitt_u8(benchmark::State& state) {
  runMemcpy(state, std::size_t(kSide) * kSide * 3, int64_t(kSide) * kSide);
}

}  // namespace

BENCHMARK(BM_TransformImage_rot30_u8x3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransformImage_rot90_u8x3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy_Rotate_u8x3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PackUnpack_u8x3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RGBSplitt_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy_RGBSplitt_u8)->Unit(benchmark::kMillisecond);
