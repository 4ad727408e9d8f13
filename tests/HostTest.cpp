// The host side: loader errors, parameters, stream comparison, missing matrices, size limits and
// the matrix buffer pool.
#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "frame/Types.h"
#include "support/Harness.h"

using namespace rktest;

namespace {

// An instance whose entry runs a test body against the host interface.
std::function<void()> gBody;
int bodyEntry() {
  gBody();
  return 1;
}

constexpr PinDescriptor kPin = {"p", 1, 0x1d, 0, -1}, kEnd = {nullptr, 0, 0, 0, 0};
constexpr PinDescriptor kTwo[] = {kPin, kPin, kEnd}, kOne[] = {kPin, kEnd};
constexpr ParameterDescriptor kParams[] = {{"d", 4, "0,1"}, {"i", 2, "-7"}, {nullptr, 0, nullptr}};
constexpr InfoPair kInfo[] = {{nullptr, nullptr}};
constexpr ProcessorDescriptor kRecord = {"_Probe", "Probe", "", "", -1, nullptr, kParams, kTwo, kOne, kInfo};

kxhost::RunResult probe(kxhost::Instance& inst, std::function<void()> body) {
  gBody = std::move(body);
  return inst.run();
}

// Selects pin 0 and matrix `m` and asks for an output matrix of that size.
void create(int32_t m, int32_t x, int32_t y, int32_t planes = 1) {
  kxInterface::kxSetPin(0);
  kxInterface::kxSetMatrix(m);
  kxMInfo i;  // not info(): its element count would overflow for the oversized ones
  i.X = x;
  i.Y = y;
  i.Planes = planes;
  kxInterface::kxGetOVector(&i);
}

TEST(Loader, MissingExportIsALoadErrorNamingIt) {
  try {
    kxhost::Plugin p(RK_PATH_PREFIX RK_INCOMPLETE_PLUGIN_PATH);
    ADD_FAILURE() << "loaded";
  } catch (const kxhost::LoadError& e) {
    EXPECT_NE(std::string(e.what()).find("_Absent"), std::string::npos) << e.what();
  }
  kxhost::Plugin lenient(RK_PATH_PREFIX RK_INCOMPLETE_PLUGIN_PATH, /*allowMissing=*/true);
  EXPECT_EQ(lenient.missing(), std::vector<std::string>{"_Absent"});
  EXPECT_TRUE(lenient.instantiate(lenient.find("Present")).run().completed);
  kxhost::RunResult r = lenient.instantiate(lenient.find("_Absent")).run();
  EXPECT_FALSE(r.completed);
  EXPECT_NE(r.error.find("_Absent"), std::string::npos);
  EXPECT_THROW(kxhost::Plugin("/nonexistent/libNothing.so"), kxhost::LoadError);
}

TEST(Parameters, DefaultsParseWithDecimalCommaAndAreReadAndWrittenTyped) {
  kxhost::Instance inst(&kRecord, bodyEntry);
  ASSERT_EQ(inst.params.size(), 2u);
  EXPECT_EQ(inst.params[0].vt, VT_R8);
  EXPECT_EQ(inst.params[0].dblVal, 0.1);
  EXPECT_EQ(inst.params[1].vt, VT_I4);
  EXPECT_EQ(inst.params[1].lVal, -7);
  EXPECT_EQ(inst.paramIndex("i"), 1);
  EXPECT_EQ(inst.paramIndex("x"), -1);
  // Storage per element type code; code 1 is kept as 16-bit integers, 5 and above have none.
  const std::size_t sizes[] = {1, 2, 4, 4, 8, 0};
  for (kxType t = 0; t < 6; ++t) EXPECT_EQ(kxhost::elementSize(t), sizes[t]) << t;
  EXPECT_THROW(kxhost::parseParameter(2, "1,5"), std::invalid_argument);
  EXPECT_THROW(kxhost::parseParameter(4, "abc"), std::invalid_argument);
  EXPECT_THROW(kxhost::parseParameter(2, "4294967296"), std::invalid_argument);
  kxhost::RunResult r = probe(inst, [] {
    double d = 0;
    int32_t i = 0;
    Parameter::kxGetParameter(1, &d);
    EXPECT_EQ(d, -7.0);
    Parameter::kxGetParameter(0, &i);
    EXPECT_EQ(i, 0);
    Parameter::kxSetParameter(0, 2.75);
    Parameter::kxGetParameter(0, &i, 0, 0, 2);
    EXPECT_EQ(i, 2);
    // Doubles beyond the 32-bit range have no integer and read as 0; the bounds themselves do.
    for (auto [d, expected] :
         {std::pair{2147483647.9, 2147483647}, std::pair{2147483648.0, 0},
          std::pair{-2147483648.9, std::numeric_limits<int32_t>::min()}, std::pair{-2147483649.0, 0}}) {
      Parameter::kxSetParameter(0, d);
      Parameter::kxGetParameter(0, &i);
      EXPECT_EQ(i, expected) << d;
    }
    Parameter::kxSetParameter(0, 2.75);
    Parameter::kxSetParameter(1, int32_t(9));
    EXPECT_EQ(Parameter::kxGetParameter(1).lVal, 9);
    Parameter::kxGetParameter(2);  // no such parameter: host exception
  });
  EXPECT_FALSE(r.completed);
  EXPECT_NE(r.error.find("no parameter 2"), std::string::npos) << r.error;
  EXPECT_EQ(inst.params[0].vt, VT_R8);
  EXPECT_EQ(inst.params[0].dblVal, 2.75);
  EXPECT_EQ(inst.params[1].vt, VT_I4);
}

TEST(Streams, MissingMatrixHasZeroSizeButNoElements) {
  kxhost::Instance inst(&kRecord, bodyEntry);
  addRow<uint8_t>(inst.inputs[0], {1, 2, 3});
  kxhost::RunResult r = probe(inst, [] {
    kxInterface::kxSetPin(0);
    kxInterface::kxSetMatrix(1);
    int32_t n = -1;
    kxInterface::kxGetVecLength(&n, 1, 1);
    EXPECT_EQ(n, 0);
    kxMInfo i = info(9, 1);
    kxInfo::kxGetMInfo(&i);
    EXPECT_EQ(i.X, 0);
    kxInterface::kxGetIMatrix();
  });
  EXPECT_FALSE(r.completed);
  EXPECT_NE(r.error.find("kxGetIMatrix"), std::string::npos) << r.error;
}

// The scan against a serial one (first value met wins ties, NaNs skipped), over lengths around the
// lane widths and runs of NaNs, signed zeros and infinities placed anywhere.
template <class T>
void minMaxMatchesSerialScan() {
  using L = std::numeric_limits<T>;
  const T inf = L::has_infinity ? L::infinity() : T(0), nan = L::has_quiet_NaN ? L::quiet_NaN() : T(0);
  const T pool[] = {T(0), T(-0.0), T(5), T(-3), nan, inf, -inf, L::max(), L::lowest()};
  uint32_t x = 7;
  for (std::size_t n : {0, 1, 2, 15, 16, 17, 63, 64, 65, 130, 1000}) {
    for (int trial = 0; trial < 12; ++trial) {
      std::vector<T> v(n);
      for (T& e : v) {
        x = x * 1664525u + 1013904223u;
        // Mostly one or two pool values per trial, so that zeros, NaN-only and infinity-only rows occur.
        e = pool[(x >> 24) % (trial < 9 ? 1 + trial % 3 : std::size(pool))];
        if (trial >= 6 && trial < 9) e = pool[(trial + (x >> 28)) % std::size(pool)];
        if (trial == 11) e = nan;  // nothing but NaNs
      }
      bool any = false;
      T lo = 0, hi = 0;
      for (T e : v) {
        if (e != e) continue;
        if (!any || e < lo) lo = e;
        if (!any || e > hi) hi = e;
        any = true;
      }
      kxhost::Instance inst(&kRecord, bodyEntry);
      addRow<T>(inst.inputs[0], v);
      double gotLo = 1, gotHi = 1;
      kxhost::RunResult r = probe(inst, [&] {
        kxInterface::kxSetPin(0);
        kxInterface::kxSetMatrix(0);
        kxInterface::kxGetMinMax(&gotLo, &gotHi);
      });
      ASSERT_TRUE(r.completed) << r.error;
      ASSERT_TRUE(sameBits(gotLo, static_cast<double>(lo))) << n << "/" << trial << ": " << gotLo << " vs " << +lo;
      ASSERT_TRUE(sameBits(gotHi, static_cast<double>(hi))) << n << "/" << trial << ": " << gotHi << " vs " << +hi;
    }
  }
}

TEST(Streams, MinMaxMatchesASerialScan) {
  minMaxMatchesSerialScan<uint8_t>();
  minMaxMatchesSerialScan<int32_t>();
  minMaxMatchesSerialScan<float>();
  minMaxMatchesSerialScan<double>();
}

// kxCompareStreams(0, 1, -1) and kxCompareMCount(0, 1, -1): which pairs of streams pass.
struct CompareCase {
  std::vector<int> left, right;  // widths of the matrices on pins 0 and 1 (height 1)
  bool sameSizes, sameCounts;
};
class CompareStreams : public ::testing::TestWithParam<CompareCase> {};

TEST_P(CompareStreams, GuaranteesEveryPairingTheProcessorsUse) {
  const CompareCase& c = GetParam();
  kxhost::Instance inst(&kRecord, bodyEntry);
  for (int w : c.left) addRow<uint8_t>(inst.inputs[0], std::vector<uint8_t>(static_cast<std::size_t>(w)));
  for (int w : c.right) addRow<uint8_t>(inst.inputs[1], std::vector<uint8_t>(static_cast<std::size_t>(w)));
  kxhost::RunResult r = probe(inst, [] { kxSafety::kxCompareStreams(0, 1, -1); });
  EXPECT_EQ(r.completed, c.sameSizes) << r.error;
  EXPECT_EQ(probe(inst, [] { kxSafety::kxCompareMCount(0, 1, -1); }).completed, c.sameCounts);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompareStreams,
    ::testing::Values(CompareCase{{3, 4}, {3, 4}, true, true}, CompareCase{{3, 4}, {3, 5}, false, true},
                      CompareCase{{3, 3, 3}, {3}, true, false}, CompareCase{{3, 4}, {3}, false, false},
                      CompareCase{{3, 3}, {3, 9, 9}, true, false}, CompareCase{{3, 3}, {4, 3, 3}, false, false},
                      CompareCase{{}, {5, 6}, true, false}, CompareCase{{3}, {}, true, false}));

TEST(Limits, OversizedOrOverflowingMatricesAreHostErrors) {
  kxhost::Instance inst(&kRecord, bodyEntry);
  auto attempt = [&](uint64_t limit, int32_t x, int32_t y, int32_t planes, kxType type) {
    inst.limits.maxMatrixBytes = limit;
    inst.outputs[0].type = type;
    return probe(inst, [=] { create(0, x, y, planes); });
  };
  EXPECT_TRUE(attempt(1000, 10, 10, 1, 4).completed);  // 800 bytes
  kxhost::RunResult big = attempt(1000, 10, 10, 2, 4);
  EXPECT_FALSE(big.completed);
  EXPECT_NE(big.error.find("1600 bytes"), std::string::npos) << big.error;
  kxhost::RunResult overflow = attempt(uint64_t(1) << 40, 65536, 65536, 1, 0);
  EXPECT_FALSE(overflow.completed);
  EXPECT_NE(overflow.error.find("32-bit"), std::string::npos) << overflow.error;
  // A matrix without elements still has its row pointers, which count against the limit.
  kxhost::RunResult tall = attempt(1000, 0, 1 << 20, 1, 0);
  EXPECT_FALSE(tall.completed);
  EXPECT_NE(tall.error.find("row pointers"), std::string::npos) << tall.error;
  EXPECT_FALSE(attempt(sizeof(void*) - 1, 0, 1, 1, 0).completed);  // even a single row's
  EXPECT_TRUE(attempt(sizeof(void*), 0, 1, 1, 0).completed);
  kxhost::RunResult empty = attempt(1000, -5, 3, 1, 0);
  EXPECT_TRUE(empty.completed) << empty.error;
  EXPECT_EQ(inst.outputs[0].stream.matrices.at(0)->count(), 0u);
  EXPECT_EQ(inst.outputs[0].stream.matrices.at(0)->info().X, -5);
}

// A processor that writes past an output matrix fails its run, whatever it returns.
TEST(Limits, AWritePastAMatrixFailsTheRun) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer stops at such a write itself";
#endif
  kxhost::Instance inst(&kRecord, bodyEntry);
  for (int32_t x : {3, 64, 61}) {
    kxhost::RunResult r = probe(inst, [x] {
      kxInterface::kxSetPin(0);
      kxInterface::kxSetMatrix(0);
      const kxMInfo i = info(x, 1);
      static_cast<uint8_t*>(kxInterface::kxGetOVector(&i))[x == 64 ? 63 : x] = 1;
    });
    EXPECT_EQ(r.completed, x == 64) << x;
    EXPECT_EQ(r.error, x == 64 ? "" : "_Probe wrote past the end of matrix 0 of output pin 0");
  }
}

// The run's ceiling counts what every output really takes, so a flood of matrices without elements
// ends too, and the message names the sizes; what reaches the ceiling exactly still fits; a new run
// starts from nothing.
TEST(Limits, RunCeilingCountsEveryMatrixItAllocates) {
  kxhost::Instance inst(&kRecord, bodyEntry);
  // A 64-byte buffer and two row pointers each; the ceiling holds twelve of them.
  const int each = 64 + 2 * int(sizeof(void*)), fit = 12;
  inst.limits.maxRunBytes = uint64_t(fit * each);
  int created = 0;
  kxhost::RunResult r = probe(inst, [&] {
    for (; created < 1000000; ++created) create(created, 0, 2);
  });
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(created, fit);
  EXPECT_NE(r.error.find("(" + std::to_string(each) + " bytes) would bring this run's allocations to " +
                         std::to_string((fit + 1) * each) + " bytes, beyond the host's allocation limit of " +
                         std::to_string(fit * each) + " bytes per run"),
            std::string::npos)
      << r.error;
  EXPECT_TRUE(probe(inst, [] { create(0, 1, 1); }).completed);
}

// A refusal for size stays on record when the processor catches it and goes on; a type without
// storage is no question of size.
TEST(Limits, ARefusalIsKeptWhenTheProcessorCatchesIt) {
  kxhost::Instance inst(&kRecord, bodyEntry);
  inst.limits.maxMatrixBytes = 100;
  auto tryCreate = [](int32_t x) {
    try {
      create(0, x, 1);
    } catch (kxEx* e) {
      delete e;
    }
  };
  kxhost::RunResult caught = probe(inst, [&] {
    for (int32_t x : {50, 200, 300}) tryCreate(x);
  });
  EXPECT_TRUE(caught.completed);
  EXPECT_NE(caught.refused.find("(200 bytes) exceeds the host's limit of 100 bytes per matrix"), std::string::npos)
      << caught.refused;
  EXPECT_EQ(probe(inst, [&] { tryCreate(100); }).refused, "");
  inst.outputs[0].type = 9;
  kxhost::RunResult noStorage = probe(inst, [&] { tryCreate(1); });
  EXPECT_TRUE(noStorage.completed);
  EXPECT_EQ(noStorage.refused, "");
}

TEST(Warnings, AreFormattedInOrderAndShownAsTheyHappenAndExceptionsAreOwnedByTheRun) {
  kxhost::Instance inst(&kRecord, bodyEntry);
  std::vector<std::string> live;
  inst.onWarning = [&](const std::string& w) { live.push_back(w); };
  kxhost::RunResult r = probe(inst, [] {
    kxQMessages::kxSetWarning("Objekt %i: Division durch 0; Das Objekt wird kopiert", 3);
    kxQMessages::kxSetWarning("second");
  });
  const std::vector<std::string> expected{"Objekt 3: Division durch 0; Das Objekt wird kopiert", "second"};
  EXPECT_EQ(r.warnings, expected);
  EXPECT_EQ(live, expected);
  kxhost::RunResult proc = probe(inst, [] { throw new kxProcEx("kaputt"); });
  EXPECT_TRUE(proc.processorError);
  EXPECT_EQ(proc.error, "kaputt");
  kxhost::RunResult host = probe(inst, [] { throw new kxEx("host"); });
  EXPECT_FALSE(host.processorError);
  EXPECT_EQ(host.error, "host");
}

// ---- the buffer pool: freed buffers come back for the next matrix, as left or filled as asked ----

struct PoolGuard {  // restores the bound and the fill whatever the test did
  uint64_t limit = kxhost::Matrix::poolLimit();
  int fill = kxhost::Matrix::recycledFill();
  ~PoolGuard() {
    kxhost::Matrix::setPoolLimit(limit);
    kxhost::Matrix::setRecycledFill(fill);
  }
};

std::size_t bytesOtherThan(const kxhost::Matrix& m, unsigned char byte) {
  const auto* bytes = static_cast<const unsigned char*>(m.data());
  return static_cast<std::size_t>(std::count_if(bytes, bytes + m.bytes(), [&](unsigned char b) { return b != byte; }));
}

// Small buffers come from the heap, large ones from fresh mappings: both paths recycle and clear.
class BufferPool : public ::testing::TestWithParam<int32_t> {};

TEST_P(BufferPool, FreedBufferIsReusedAsLeftOrFilledAndAFreshOneReadsZero) {
  PoolGuard guard;
  const int32_t side = GetParam();
  for (int fill : {-1, 0, 0xa5}) {
    kxhost::Matrix::setRecycledFill(fill);
    void* first = nullptr;
    {
      kxhost::Matrix m(rk::typeCode<float>, info(side, side));
      first = m.data();
      std::memset(m.data(), 0x5a, m.bytes());
    }
    const uint64_t pooled = kxhost::Matrix::pooledBytes();
    EXPECT_GE(pooled, uint64_t(side) * uint64_t(side) * 4);
    kxhost::Matrix again(rk::typeCode<float>, info(side, side));
    EXPECT_EQ(again.data(), first);
    EXPECT_LT(kxhost::Matrix::pooledBytes(), pooled);
    EXPECT_EQ(bytesOtherThan(again, fill < 0 ? 0x5a : static_cast<unsigned char>(fill)), 0u) << fill;
  }
  kxhost::Matrix::setPoolLimit(0);  // empty the pool so that the buffer is new
  EXPECT_EQ(bytesOtherThan(kxhost::Matrix(rk::typeCode<double>, info(side, side + 1, 2)), 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BufferPool, ::testing::Values(3, 64, 1024));

TEST(BufferPoolBound, PoolNeverHoldsMoreThanItsLimit) {
  PoolGuard guard;
  EXPECT_EQ(kxhost::Matrix::poolLimit(), uint64_t(1) << 30);
  const uint64_t limit = 3 * 256 * 256;  // room for three 256 x 256 8-bit buffers
  kxhost::Matrix::setPoolLimit(0);       // start from an empty pool
  kxhost::Matrix::setPoolLimit(limit);
  {
    std::unique_ptr<kxhost::Matrix> held[5];
    for (auto& m : held) m = std::make_unique<kxhost::Matrix>(rk::typeCode<uint8_t>, info(256, 256));
  }
  EXPECT_EQ(kxhost::Matrix::pooledBytes(), limit);
  kxhost::Matrix::setPoolLimit(256 * 256);  // lowering the limit releases what no longer fits
  EXPECT_EQ(kxhost::Matrix::pooledBytes(), uint64_t(256 * 256));
  kxhost::Matrix::setPoolLimit(0);
  EXPECT_EQ(kxhost::Matrix::pooledBytes(), 0u);
  { kxhost::Matrix m(rk::typeCode<uint8_t>, info(256, 256)); }
  EXPECT_EQ(kxhost::Matrix::pooledBytes(), 0u);
  // A matrix over a caller's elements reads them in place and never hands them to the pool, which
  // would give the caller's memory to the next matrix.
  kxhost::Matrix::setPoolLimit(limit);
  std::vector<float> caller(6 * 4 * 3, 2.5f);
  {
    kxhost::Matrix m(rk::typeCode<float>, info(6, 4, 3), caller.data());
    EXPECT_TRUE(m.borrowed());
    EXPECT_EQ(m.info().Count, 72);
    EXPECT_EQ(m.rows()[3], caller.data() + 3 * 18);
  }
  EXPECT_EQ(kxhost::Matrix::pooledBytes(), 0u);
}

}  // namespace
