// Blend, AND and the constant generator on 8-bit images through the real entry, beside memcpy.
#include "Support.h"

namespace {

using namespace rkbench;

constexpr int64_t kPixels = int64_t(kSide) * kSide;

// Runs the entry untimed until the host's allocator hands each run's output the same warm pages:
// the first runs of a process can take fresh pages for every 16 MB output, and on a virtual
// machine their page faults cost several times the processing itself.
void warmUp(kxhost::Instance& inst) {
  for (int i = 0; i < 12; ++i) inst.run();
}

void BM_BlendImage_u8(benchmark::State& state) {
  auto inst = instance("_BlendImage");
  fillInput(inst.inputs[0], 0, kSide, kSide);
  fillInput(inst.inputs[1], 0, kSide, kSide);
  inst.params[0].vt = VT_R8;
  inst.params[0].dblVal = 0.3;
  inst.outputs[0].type = 0;
  warmUp(inst);
  runEntry(state, inst, kPixels);
}

void BM_AndImage_u8(benchmark::State& state) {
  auto inst = instance("_AndImage");
  fillInput(inst.inputs[0], 0, kSide, kSide);
  fillInput(inst.inputs[1], 0, kSide, kSide);
  inst.outputs[0].type = 0;
  warmUp(inst);
  runEntry(state, inst, kPixels);
}

// Two 8-bit inputs read and one 8-bit output written: three image-sized streams, as memcpy of one
// and a half images moves.
void BM_Memcpy_TwoInputs_u8(benchmark::State& state) { runMemcpy(state, std::size_t(kPixels) * 3 / 2, kPixels); }

void BM_ConstImage_u8(benchmark::State& state) {
  auto inst = instance("_ConstImage");
  inst.params[inst.paramIndex("scalar")].dblVal = 77;
  inst.params[inst.paramIndex("X")].lVal = kSide;
  inst.params[inst.paramIndex("Y")].lVal = kSide;
  inst.outputs[0].type = 0;
  warmUp(inst);
  runEntry(state, inst, kPixels);
}

// One 8-bit image written: one image-sized stream, as memcpy of half an image moves.
void BM_Memcpy_OneOutput_u8(benchmark::State& state) { runMemcpy(state, std::size_t(kPixels) / 2, kPixels); }

}  // namespace

BENCHMARK(BM_BlendImage_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AndImage_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy_TwoInputs_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConstImage_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy_OneOutput_u8)->Unit(benchmark::kMillisecond);
