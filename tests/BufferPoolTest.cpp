// The host's matrix buffer pool: freed buffers come back for the next matrix, as they were left or
// filled as asked, and bounded.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frame/Types.h"
#include "support/Harness.h"

namespace {

kxMInfo sized(int32_t x, int32_t y, int32_t planes) {
  kxMInfo info;
  info.X = x;
  info.Y = y;
  info.Planes = planes;
  return info;
}

// Restores the default bound whatever the test did to it.
struct PoolLimitGuard {
  uint64_t saved = kxhost::Matrix::poolLimit();
  ~PoolLimitGuard() { kxhost::Matrix::setPoolLimit(saved); }
};

// Small buffers come from the heap, large ones from fresh mappings: both paths must recycle and clear.
class BufferPool : public ::testing::TestWithParam<int32_t> {};

// Counts the bytes of a matrix that differ from `byte`.
std::size_t countOther(const kxhost::Matrix& m, unsigned char byte) {
  const auto* bytes = static_cast<const unsigned char*>(m.data());
  std::size_t other = 0;
  for (std::size_t i = 0; i < m.bytes(); ++i) other += bytes[i] != byte;
  return other;
}

// Restores the recycled-buffer fill whatever the test set.
struct FillGuard {
  int saved = kxhost::Matrix::recycledFill();
  ~FillGuard() { kxhost::Matrix::setRecycledFill(saved); }
};

TEST_P(BufferPool, FreedBufferIsReusedForTheSameSizeAsItWasLeftOrFilled) {
  PoolLimitGuard guard;
  FillGuard fillGuard;
  const int32_t side = GetParam();
  for (int fill : {-1, 0, 0xa5}) {
    kxhost::Matrix::setRecycledFill(fill);
    void* first = nullptr;
    {
      kxhost::Matrix m(rk::typeCode<float>, sized(side, side, 1));
      first = m.data();
      std::memset(m.data(), 0x5a, m.bytes());
    }
    uint64_t pooled = kxhost::Matrix::pooledBytes();
    EXPECT_GE(pooled, uint64_t(side) * uint64_t(side) * 4);
    kxhost::Matrix again(rk::typeCode<float>, sized(side, side, 1));
    EXPECT_EQ(again.data(), first);
    EXPECT_LT(kxhost::Matrix::pooledBytes(), pooled);
    EXPECT_EQ(countOther(again, fill < 0 ? 0x5a : static_cast<unsigned char>(fill)), 0u) << fill;
  }
}

TEST_P(BufferPool, FreshBufferReadsZero) {
  PoolLimitGuard guard;
  kxhost::Matrix::setPoolLimit(0);  // empty the pool so that the buffer is new
  const int32_t side = GetParam();
  kxhost::Matrix m(rk::typeCode<double>, sized(side, side + 1, 2));
  EXPECT_EQ(countOther(m, 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BufferPool, ::testing::Values(3, 64, 1024));

TEST(BufferPoolBound, PoolNeverHoldsMoreThanItsLimit) {
  PoolLimitGuard guard;
  EXPECT_EQ(kxhost::Matrix::poolLimit(), uint64_t(1) << 30);
  const uint64_t limit = 3 * 256 * 256;  // room for three 256 x 256 8-bit buffers
  kxhost::Matrix::setPoolLimit(0);       // start from an empty pool
  kxhost::Matrix::setPoolLimit(limit);
  {
    std::unique_ptr<kxhost::Matrix> held[5];
    for (auto& m : held) m = std::make_unique<kxhost::Matrix>(rk::typeCode<uint8_t>, sized(256, 256, 1));
  }
  EXPECT_EQ(kxhost::Matrix::pooledBytes(), limit);
  // Lowering the limit releases what no longer fits.
  kxhost::Matrix::setPoolLimit(256 * 256);
  EXPECT_EQ(kxhost::Matrix::pooledBytes(), uint64_t(256 * 256));
  kxhost::Matrix::setPoolLimit(0);
  EXPECT_EQ(kxhost::Matrix::pooledBytes(), 0u);
  { kxhost::Matrix m(rk::typeCode<uint8_t>, sized(256, 256, 1)); }
  EXPECT_EQ(kxhost::Matrix::pooledBytes(), 0u);
}

// A matrix over a caller's elements reads them in place and never hands them to the pool, which
// would give the caller's memory to the next matrix.
TEST(BufferPoolBound, BorrowedElementsNeverEnterThePool) {
  PoolLimitGuard guard;
  kxhost::Matrix::setPoolLimit(0);
  kxhost::Matrix::setPoolLimit(uint64_t(1) << 20);
  std::vector<float> caller(6 * 4 * 3, 2.5f);
  {
    kxhost::Matrix m(rk::typeCode<float>, sized(6, 4, 3), caller.data());
    EXPECT_TRUE(m.borrowed());
    EXPECT_EQ(m.data(), caller.data());
    EXPECT_EQ(m.info().Count, 72);
    EXPECT_EQ(m.rows()[3], caller.data() + 3 * 18);
  }
  EXPECT_EQ(kxhost::Matrix::pooledBytes(), 0u);
  try {
    kxhost::Matrix big(rk::typeCode<float>, sized(1 << 16, 1 << 16, 1), caller.data());
    ADD_FAILURE() << "a borrowed matrix beyond the 32-bit element count was accepted";
  } catch (kxEx* e) {
    EXPECT_NE(std::string(e->kxGetText()).find("exceeds the 32-bit element count"), std::string::npos);
    delete e;
  }
}

}  // namespace
