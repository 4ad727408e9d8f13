// Scalar multiply, negative and stretch of an 8-bit image through the real entry, beside memcpy.
#include "Support.h"

namespace {

using namespace rkbench;

constexpr int64_t kPixels = int64_t(kSide) * kSide;

void runPointOp(benchmark::State& state, const char* entry) {
  auto inst = instance(entry);
  fillInput(inst.inputs[0], 0, kSide, kSide);
  inst.outputs[0].type = 0;
  runEntry(state, inst, kPixels);
}

void BM_ScalarMultImage_u8(benchmark::State& state) {
  auto inst = instance("_ScalarMultImage");
  fillInput(inst.inputs[0], 0, kSide, kSide);
  inst.params.at(0).dblVal = 3.0;
  inst.outputs[0].type = 0;
  runEntry(state, inst, kPixels);
}

void BM_Negate_u8(benchmark::State& state) { runPointOp(state, "_Negate"); }
void BM_Norm_u8(benchmark::State& state) { runPointOp(state, "_Norm"); }

// One 8-bit image read and one written: memcpy of one image's bytes moves the same.
void BM_Memcpy_PointOp_u8(benchmark::State& state) { runMemcpy(state, std::size_t(kPixels), kPixels); }

}  // namespace

BENCHMARK(BM_ScalarMultImage_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Negate_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Norm_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy_PointOp_u8)->Unit(benchmark::kMillisecond);
