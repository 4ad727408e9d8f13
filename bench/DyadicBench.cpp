// Two-input arithmetic through the real entry, beside memcpy of the same bytes.
#include "Support.h"

namespace {

using namespace rkbench;

void BM_AddImage_u8(benchmark::State& state) {
  auto inst = instance("_AddImage");
  fillInput(inst.inputs[0], 0, kSide, kSide);
  fillInput(inst.inputs[1], 0, kSide, kSide);
  inst.outputs[0].type = 0;
  runEntry(state, inst, int64_t(kSide) * kSide);
}

// Two 8-bit inputs read and one 8-bit output written: three image-sized streams, as memcpy moves two.
void BM_Memcpy_AddImage_u8(benchmark::State& state) {
  runMemcpy(state, std::size_t(kSide) * kSide * 3 / 2, int64_t(kSide) * kSide);
}

void BM_DivImage_u8(benchmark::State& state) {
  auto inst = instance("_DivImage");
  fillInput(inst.inputs[0], 0, kSide, kSide);
  kxhost::Matrix& b = fillInput(inst.inputs[1], 0, kSide, kSide);
  auto* p = b.as<uint8_t>();
  for (std::size_t i = 0; i < b.count(); ++i) p[i] = static_cast<uint8_t>(p[i] | 1);
  inst.outputs[0].type = 0;
  runEntry(state, inst, int64_t(kSide) * kSide);
}

}  // namespace

BENCHMARK(BM_AddImage_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy_AddImage_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DivImage_u8)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
