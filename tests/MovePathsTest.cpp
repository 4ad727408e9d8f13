// Data moves on both kernel paths: RGB split and join, mirrors and the exact turns. Where input and
// output types agree the AVX2 path moves bits with shuffles, register transposes and streamed
// stores; the baseline path's plain loops are its oracle, bit for bit. Sizes are odd (vector
// remainders, rows starting at every alignment), and some outputs are large enough to be streamed.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <tuple>

#include "frame/Streaming.h"
#include "support/Harness.h"
#include "support/Paths.h"
#include "support/Reference.h"

using namespace rktest;

namespace {

// Random bits in every element, NaNs and infinities included: moves copy them, conversions meet them.
template <class T>
std::vector<T> randomElements(std::size_t n, uint64_t seed) {
  std::vector<T> v(n);
  auto* bytes = reinterpret_cast<unsigned char*>(v.data());
  const std::size_t total = n * sizeof(T);
  uint64_t s = seed * 0x9e3779b97f4a7c15ull + 1;
  for (std::size_t i = 0; i < total; i += 8) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    const uint64_t r = s ^ (s >> 29);
    std::memcpy(bytes + i, &r, std::min<std::size_t>(8, total - i));
  }
  return v;
}

void addRandom(kxhost::Pin& pin, kxType type, int32_t x, int32_t y, int32_t planes, uint64_t seed) {
  withType(type, [&]<class T>() {
    addMatrix<T>(pin, x, y, planes, randomElements<T>(std::size_t(x) * std::size_t(y) * std::size_t(planes), seed));
  });
}

using Setup = std::function<void(kxhost::Instance&)>;
using PinBytes = std::vector<std::vector<std::vector<unsigned char>>>;  // [pin][matrix] -> bytes

PinBytes runOn(const char* entry, const Setup& setup, bool baseline) {
  auto inst = instance(entry);
  setup(inst);
  const kxhost::RunResult r = runOnPath(inst, baseline);
  EXPECT_TRUE(r.completed) << r.error;
  EXPECT_TRUE(r.warnings.empty());
  PinBytes out;
  for (const auto& pin : inst.outputs) {
    out.emplace_back();
    for (const auto& m : pin.stream.matrices) {
      const auto* p = static_cast<const unsigned char*>(m->data());
      out.back().emplace_back(p, p + m->bytes());
    }
  }
  return out;
}

void expectPathsAgree(const char* entry, const Setup& setup) {
  const PinBytes base = runOn(entry, setup, true);
  const PinBytes wide = runOn(entry, setup, false);
  ASSERT_EQ(base.size(), wide.size());
  for (std::size_t p = 0; p < base.size(); ++p) {
    ASSERT_EQ(base[p].size(), wide[p].size()) << "pin " << p;
    for (std::size_t m = 0; m < base[p].size(); ++m) {
      const auto& a = base[p][m];
      const auto& b = wide[p][m];
      ASSERT_EQ(a.size(), b.size()) << "pin " << p << " matrix " << m;
      const auto diff = std::mismatch(a.begin(), a.end(), b.begin());
      EXPECT_TRUE(diff.first == a.end()) << "pin " << p << " matrix " << m << " first differing byte "
                                         << (diff.first - a.begin()) << " of " << a.size();
    }
  }
}

std::size_t typeSize(kxType type) {
  std::size_t size = 0;
  withType(type, [&]<class T>() { size = sizeof(T); });
  return size;
}

// Rows for a little more output than the streaming threshold at `bytesPerRow`.
int32_t streamedRows(std::size_t bytesPerRow) { return int32_t(rk::kStreamBytes / bytesPerRow + 2); }

// Split: three outputs of one type; join: three inputs of one type. All 16 type pairs.
using Pair = std::tuple<kxType, kxType>;
class RGBPaths : public ::testing::TestWithParam<Pair> {};

Setup split(kxType in, kxType out, int32_t x, int32_t y) {
  return [=](kxhost::Instance& inst) {
    addRandom(inst.inputs[0], in, x, y, 3, 1);
    // A second matrix narrower than any vector block.
    addRandom(inst.inputs[0], in, 1, 3, 3, 2);
    for (auto& pin : inst.outputs) {
      pin.type = out;
      pin.connected = true;
    }
  };
}

Setup join(kxType in, kxType out, int32_t x, int32_t y) {
  return [=](kxhost::Instance& inst) {
    for (uint64_t c = 0; c < 3; ++c) {
      addRandom(inst.inputs[c], in, x, y, 1, 3 + c);
      addRandom(inst.inputs[c], in, 1, 3, 1, 6 + c);
    }
    inst.outputs[0].type = out;
  };
}

// 107 pixels: for bytes and for dwords, pairs of vector blocks, one block more and a remainder.
TEST_P(RGBPaths, SplitAgreesAtOddSizes) {
  const auto [in, out] = GetParam();
  expectPathsAgree("_RGBSplitt", split(in, out, 107, 9));
}

TEST_P(RGBPaths, JoinAgreesAtOddSizes) {
  const auto [in, out] = GetParam();
  expectPathsAgree("_RGBJoin", join(in, out, 107, 9));
}

const auto kCodes = ::testing::Values(kxType(0), kxType(2), kxType(3), kxType(4));

std::string pairName(const ::testing::TestParamInfo<Pair>& info) {
  return std::string(typeName(std::get<0>(info.param))) + "_" + typeName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(All16, RGBPaths, ::testing::Combine(kCodes, kCodes), pairName);

// Outputs past the streaming threshold, rows of an odd width so that each starts at another
// alignment; only same-type moves stream.
class StreamedMoves : public ::testing::TestWithParam<kxType> {};

TEST_P(StreamedMoves, SplitAndJoinAgree) {
  const kxType t = GetParam();
  const int32_t x = 2053;
  const int32_t y = streamedRows(std::size_t(x) * 3 * typeSize(t));
  expectPathsAgree("_RGBSplitt", split(t, t, x, y));
  expectPathsAgree("_RGBJoin", join(t, t, x, y));
}

// ---- mirrors and exact turns --------------------------------------------------------------------

struct Move {
  const char* name;
  int32_t type;
  double degrees;
};
const Move kMoves[] = {{"mirror columns", 0, 0}, {"mirror rows", 1, 0},  {"no turn", 2, 0},
                       {"half turn", 2, 180},    {"quarter +90", 2, 90}, {"quarter -90", 2, -90}};

Setup transform(kxType in, kxType out, int32_t x, int32_t y, int32_t planes, const Move& move) {
  return [=](kxhost::Instance& inst) {
    addRandom(inst.inputs[0], in, x, y, planes, 9);
    addRandom(inst.inputs[0], in, 3, 2, planes, 10);
    inst.outputs[0].type = out;
    tagVARIANT t{};
    t.vt = VT_I4;
    t.lVal = move.type;
    tagVARIANT d{};
    d.vt = VT_R8;
    d.dblVal = move.degrees;
    inst.params.at(std::size_t(inst.paramIndex("TransType"))) = t;
    inst.params.at(std::size_t(inst.paramIndex("RotDegree"))) = d;
  };
}

class TransformPaths : public ::testing::TestWithParam<Pair> {};

// 131 x 77: two whole 64-element tiles and a remainder across, one and a remainder down, and
// remainders of every vector block; plane counts 1 (the fast moves), 3 and 2 (the general loops).
TEST_P(TransformPaths, EveryExactMoveAgrees) {
  const auto [in, out] = GetParam();
  for (const Move& move : kMoves) {
    for (int32_t planes : {1, 3, 2}) {
      SCOPED_TRACE(::testing::Message() << move.name << ", planes " << planes);
      expectPathsAgree("_TransformImage", transform(in, out, 131, 77, planes, move));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All16, TransformPaths, ::testing::Combine(kCodes, kCodes), pairName);

TEST_P(StreamedMoves, MirrorsAndHalfTurnAgree) {
  const kxType t = GetParam();
  for (int32_t planes : {1, 3}) {
    const int32_t x = 2053;
    const int32_t y = streamedRows(std::size_t(x) * std::size_t(planes) * typeSize(t));
    for (const Move& move : kMoves) {
      if (move.degrees == 90 || move.degrees == -90) continue;
      SCOPED_TRACE(::testing::Message() << move.name << ", planes " << planes);
      expectPathsAgree("_TransformImage", transform(t, t, x, y, planes, move));
    }
  }
}

// Quarter turns of a size that is no multiple of the tiles or blocks, the width below the height.
TEST_P(StreamedMoves, QuarterTurnsOfALargerMatrixAgree) {
  const kxType t = GetParam();
  for (const Move& move : kMoves) {
    if (move.degrees != 90 && move.degrees != -90) continue;
    SCOPED_TRACE(move.name);
    expectPathsAgree("_TransformImage", transform(t, t, 517, 1029, 1, move));
  }
}

// Both paths share the register transposes, so the turns are also held against their mapping:
// +90 puts input (x, y) at output (h-1-y, x), -90 at (y, w-1-x).
TEST_P(StreamedMoves, QuarterTurnsPlaceEveryElement) {
  const kxType t = GetParam();
  const std::size_t size = typeSize(t);
  const int32_t w = 517, h = 131;
  for (double degrees : {90.0, -90.0}) {
    SCOPED_TRACE(degrees);
    auto inst = instance("_TransformImage");
    transform(t, t, w, h, 1, {"", 2, degrees})(inst);
    ASSERT_TRUE(inst.run().completed);
    const auto* in = static_cast<const unsigned char*>(inst.inputs[0].stream.matrices.at(0)->data());
    const auto* out = static_cast<const unsigned char*>(inst.outputs[0].stream.matrices.at(0)->data());
    int32_t wrong = 0;
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        const int32_t ox = degrees > 0 ? h - 1 - y : y, oy = degrees > 0 ? x : w - 1 - x;
        wrong += std::memcmp(in + (std::size_t(y) * w + x) * size, out + (std::size_t(oy) * h + ox) * size, size) != 0;
      }
    }
    EXPECT_EQ(wrong, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(SameType, StreamedMoves, kCodes,
                         [](const ::testing::TestParamInfo<kxType>& info) { return typeName(info.param); });

}  // namespace
