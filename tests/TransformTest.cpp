// Flip and rotate through real runs: the exact moves for every type pair, the shear engine against
// bytes worked out by hand and against a plain transcription of its steps, the plane warning, the
// parameter and pin checks, and the working images released on every way out.
#if !defined(_WIN32)
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <array>
#include <cstdio>
#include <cstdlib>
#include <tuple>

#include "frame/Streaming.h"
#include "support/Sweep.h"

using namespace rktest;

namespace {

kxhost::RunResult transform(kxhost::Instance& inst, int32_t type, double degrees) {
  setParam(inst, "TransType", type);
  setParam(inst, "RotDegree", degrees);
  return inst.run();
}

// ---- a plain transcription of the shear rotation, channel by channel ---------------------------

using Px = std::array<int, 3>;

struct Img {
  int w = 0, h = 0;
  std::vector<Px> px;
  Img(int width, int height) : w(width), h(height), px(std::size_t(width) * std::size_t(height)) {}
  Px& at(int x, int y) { return px.at(std::size_t(y) * std::size_t(w) + std::size_t(x)); }
};

// One line: positions before the whole shift get 0, each source pixel keeps p - share + the share
// of the pixel before it, the last share lands after the line, the rest is 0.
template <class Get, class Put>
void refSkew(Get get, Put put, long n, long m, double d) {
  const long k = static_cast<long>(std::floor(d));
  const double w = d - double(k);
  for (long j = 0; j < k && j < m; ++j) put(j, Px{});
  Px q{};
  for (long i = 0; i < n; ++i) {
    const Px p = get(i);
    Px left{}, out{};
    for (std::size_t c = 0; c < 3; ++c) {
      left[c] = int(p[c] * w);
      out[c] = (p[c] - left[c] + q[c]) & 255;
    }
    if (i + k >= 0 && i + k < m) put(i + k, out);
    q = left;
  }
  if (n + k >= 0 && n + k < m) put(n + k, q);
  for (long j = std::max(n + k + 1, 0L); j < m; ++j) put(j, Px{});
}

Img refShear(Img src, double a) {
  if (a == 0.0) return src;
  const double th = a * 0.017453292519943295, s = std::sin(th), t = std::tan(th / 2), c = std::cos(th);
  const int W = src.w, H = src.h;
  Img d1(W + int(std::fabs(t) * H), H);
  for (int u = 0; u < H; ++u)
    refSkew([&](long i) { return src.at(int(i), u); }, [&](long j, Px v) { d1.at(int(j), u) = v; }, W, d1.w,
            t >= 0 ? (u + 0.5) * t : ((u - H) + 0.5) * t);
  Img d2(d1.w, int(W * std::fabs(s) + H * c) + 1);
  double d = s > 0 ? (W - 1) * s : (d1.w - W) * s;
  for (int u = 0; u < d1.w; ++u, d -= s)
    refSkew([&](long i) { return d1.at(u, int(i)); }, [&](long j, Px v) { d2.at(u, int(j)) = v; }, H, d2.h, d);
  Img d3(int(W * c + H * std::fabs(s)) + 1, d2.h);
  d = s >= 0 ? -(W - 1) * s * t : ((1 - d2.h) - (W - 1) * s) * t;
  for (int u = 0; u < d2.h; ++u, d += t)
    refSkew([&](long i) { return d2.at(int(i), u); }, [&](long j, Px v) { d3.at(int(j), u) = v; }, d1.w, d3.w, d);
  return d3;
}

// The engine turns by the negated angle, after the quarter turns that leave it within 45 degrees.
Img refRotate(Img src, double degrees) {
  double a = -degrees;
  while (a >= 360) a -= 360;
  while (a < 0) a += 360;
  const int q = a <= 45 || a > 315 ? 0 : a <= 135 ? 1 : a <= 225 ? 2 : 3, W = src.w, H = src.h;
  Img mid(q % 2 ? H : W, q % 2 ? W : H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const int tx[] = {x, y, W - 1 - x, H - 1 - y}, ty[] = {y, W - 1 - x, H - 1 - y, x};
      mid.at(tx[q], ty[q]) = src.at(x, y);
    }
  return refShear(mid, a - 90 * q);
}

// A w x h image of `planes` (1 or 3) bytes per pixel, packed as the processor packs it, and back.
Img packed(int w, int h, int planes, const std::vector<uint8_t>& v) {
  Img img(w, h);
  for (std::size_t k = 0; k < img.px.size(); ++k)
    for (std::size_t c = 0; c < 3; ++c) img.px[k][c] = v[k * std::size_t(planes) + (planes == 3 ? c : 0)];
  return img;
}

std::vector<uint8_t> unpacked(const Img& img, int planes) {
  std::vector<uint8_t> v;
  for (const Px& p : img.px) v.insert(v.end(), p.begin(), p.begin() + planes);
  return v;
}

std::vector<uint8_t> pattern(int w, int h, int planes) {
  std::vector<uint8_t> v(std::size_t(w * h * planes));
  for (std::size_t k = 0; k < v.size(); ++k) v[k] = uint8_t(k * 37 + (k / 7) * 91 + 13);
  return v;
}

// Each quarter-turn band and its bounds (45, 135, 225, 315 all leave 45 for the shears), the
// quarter turns that are not exact cases (360, 270, -270), near misses of the exact cases, and
// sizes that leave remainders after the engine's vectors, column strips and row batches.
class Angles : public ::testing::TestWithParam<double> {};

TEST_P(Angles, MatchTheShearStepsForEverySize) {
  const std::pair<int, int> sizes[] = {{1, 1}, {1, 6}, {6, 1},  {2, 2},   {3, 1},  {1, 3},
                                       {7, 4}, {4, 7}, {16, 9}, {33, 20}, {40, 3}, {131, 70}};
  for (auto [w, h] : sizes)
    for (int planes : {1, 3}) {
      SCOPED_TRACE(::testing::Message() << w << " x " << h << " x " << planes);
      auto inst = instance("_TransformImage");
      const std::vector<uint8_t> v = pattern(w, h, planes);
      addMatrix<uint8_t>(inst.inputs[0], w, h, planes, v);
      ASSERT_TRUE(transform(inst, 2, GetParam()).completed);
      const Img want = refRotate(packed(w, h, planes, v), GetParam());
      const kxMInfo& out = inst.outputs[0].stream.matrices.at(0)->info();
      ASSERT_EQ(std::tuple(out.X, out.Y, out.Planes), std::tuple(want.w, want.h, planes));
      ASSERT_EQ(output<uint8_t>(inst, 0, 0), unpacked(want, planes));
    }
}

INSTANTIATE_TEST_SUITE_P(TransformImage, Angles,
                         ::testing::Values(30.0, -30.0, 45.0, -45.0, 135.0, -135.0, 225.0, -225.0, 315.0, -315.0, 360.0,
                                           -360.0, 270.0, -270.0, 100.0, 200.0, -200.0, 290.0, 300.0, 10.0, 44.999,
                                           45.001, 134.5, 315.5, 720.25, -1000.5, 89.9999, 90.0000001, 179.9, 1e-9));

// ---- element moves over every type pair ---------------------------------------------------------

using TypePairCodes = std::tuple<kxType, kxType>;
class MoveTypes : public ::testing::TestWithParam<TypePairCodes> {};

// Each exact case on both kernel paths, at a size with remainders after the vectors and tiles: output
// (x, y) takes input (u, v), or (v, u) where the case turns by a quarter, mirrored where it flips.
TEST_P(MoveTypes, ExactCasesMoveAndConvertEveryElement) {
  const kxType inCode = std::get<0>(GetParam()), outCode = std::get<1>(GetParam());
  struct Exact {
    int32_t type;
    double degrees;  // plays no part in the mirrors
    bool turned, flipX, flipY;
  };
  const Exact cases[] = {{0, 0, false, true, false},  {0, 77, false, true, false}, {1, 0, false, false, true},
                         {2, 0, false, false, false}, {2, 180, false, true, true}, {2, -180, false, true, true},
                         {2, 90, true, false, true},  {2, -90, true, true, false}};
  withPair(inCode, outCode, [&]<class I, class O>() {
    for (auto [w, h] : {std::pair{3, 2}, std::pair{131, 77}})
      for (int32_t planes : {1, 2, 3}) {
        const std::vector<I> in = cycle<I>(std::size_t(w * h * planes), 3);
        for (const Exact& c : cases) {
          SCOPED_TRACE(::testing::Message()
                       << c.type << " by " << c.degrees << ", " << w << " x " << h << " x " << planes);
          auto inst = instance("_TransformImage");
          addMatrix<I>(inst.inputs[0], w, h, planes, in, "m");
          inst.outputs[0].type = outCode;
          setParam(inst, "TransType", c.type);
          setParam(inst, "RotDegree", c.degrees);
          kxhost::RunResult res = runBoth(inst);
          ASSERT_TRUE(res.completed) << res.error;
          EXPECT_TRUE(res.warnings.empty());
          const kxMInfo& info = inst.outputs[0].stream.matrices.at(0)->info();
          const int ow = c.turned ? h : w, oh = c.turned ? w : h;
          EXPECT_EQ(std::tuple(info.X, info.Y, info.Planes), std::tuple(ow, oh, planes));
          EXPECT_STREQ(info.Name.c_str(), "m");
          std::vector<I> want;
          for (int y = 0; y < oh; ++y)
            for (int x = 0; x < ow; ++x) {
              const int u = c.turned ? y : x, v = c.turned ? x : y;
              const auto at = in.begin() + ((c.flipY ? h - 1 - v : v) * w + (c.flipX ? w - 1 - u : u)) * planes;
              want.insert(want.end(), at, at + planes);
            }
          ASSERT_TRUE(convertedFrom(output<O>(inst, 0, 0), want));
        }
      }
  });
}

// The general path takes every value to its low 8 bits first, then converts the bytes; so do the
// quarter turns that are not exact cases (360, 270, -270). Both kernel paths, past their vectors.
TEST_P(MoveTypes, GeneralRotationPacksLowBytes) {
  const kxType inCode = std::get<0>(GetParam()), outCode = std::get<1>(GetParam());
  withPair(inCode, outCode, [&]<class I, class O>() {
    for (int32_t planes : {1, 3})
      for (double degrees : {30.0, -30.0, 100.0, 200.0, -290.0, 44.9, 360.0, 270.0, -270.0}) {
        const std::vector<I> in = cycle<I>(std::size_t(131 * 70 * planes));
        std::vector<uint8_t> bytes;
        for (I v : in) bytes.push_back(refConvert<uint8_t>(double(v)));
        auto inst = instance("_TransformImage");
        addMatrix<I>(inst.inputs[0], 131, 70, planes, in);
        inst.outputs[0].type = outCode;
        setParam(inst, "TransType", int32_t(2));
        setParam(inst, "RotDegree", degrees);
        ASSERT_TRUE(runBoth(inst).completed);
        const Img want = refRotate(packed(131, 70, planes, bytes), degrees);
        EXPECT_TRUE(convertedFrom(output<O>(inst, 0, 0), unpacked(want, planes))) << planes << " by " << degrees;
      }
  });
}

const auto kTypeCodes = ::testing::Values(0, 2, 3, 4);
INSTANTIATE_TEST_SUITE_P(All16, MoveTypes, ::testing::Combine(kTypeCodes, kTypeCodes));

// ---- cases named one by one ---------------------------------------------------------------------

// Matrices of other than 1 or 3 planes give the warning and no output, so the next output matrix
// follows the last one made; the others keep name, user data and planes.
TEST(TransformImage, OtherPlaneCountsWarnAndAreSkipped) {
  const std::string planes =
      "Beliebige Drehungen k\xf6nnen nur f\xfcr ein- und dreibandige Bilder ausgef\xfchrt werden";
  auto inst = instance("_TransformImage");
  addMatrix<uint8_t>(inst.inputs[0], 3, 2, 3, pattern(3, 2, 3), "a").info().UserDatas.assign("*", 1);
  addMatrix<uint8_t>(inst.inputs[0], 3, 2, 2, pattern(3, 2, 2), "b");
  addMatrix<uint8_t>(inst.inputs[0], 3, 2, 4, pattern(3, 2, 4), "c");
  addMatrix<uint8_t>(inst.inputs[0], 3, 2, 1, pattern(3, 2, 1), "d");
  kxhost::RunResult res = transform(inst, 2, 30);
  ASSERT_TRUE(res.completed) << res.error;
  EXPECT_EQ(res.warnings, (std::vector<std::string>{planes, planes}));
  ASSERT_EQ(inst.outputs[0].stream.size(), 2);
  const kxMInfo& a = inst.outputs[0].stream.matrices[0]->info();
  EXPECT_EQ(std::tuple(std::string(a.Name.c_str()), a.Planes, a.UserDatas.size()), std::tuple("a", 3, 1));
  EXPECT_EQ(a.UserDatas.data()[0], '*');
  EXPECT_STREQ(inst.outputs[0].stream.matrices[1]->info().Name.c_str(), "d");
  EXPECT_EQ(output<uint8_t>(inst, 0, 1), unpacked(refRotate(packed(3, 2, 1, pattern(3, 2, 1)), 30), 1));

  auto exact = instance("_TransformImage");
  addMatrix<uint8_t>(exact.inputs[0], 3, 2, 2, pattern(3, 2, 2));
  res = transform(exact, 2, 90);
  ASSERT_TRUE(res.completed);
  EXPECT_TRUE(res.warnings.empty());
  EXPECT_EQ(exact.outputs[0].stream.size(), 1);
}

TEST(TransformImage, UnknownTransTypeWritesOnlyTheMeta) {
  for (int32_t type : {3, -1, 1000}) {
    auto inst = instance("_TransformImage");
    inst.inputs[0].stream.meta = info(2, 2, 1, "meta");
    addMatrix<uint8_t>(inst.inputs[0], 2, 2, 1, {1, 2, 3, 4});
    kxhost::RunResult res = transform(inst, type, 90);
    ASSERT_TRUE(res.completed);
    EXPECT_EQ(res.returned, 1);
    EXPECT_TRUE(res.warnings.empty());
    EXPECT_TRUE(inst.outputs[0].stream.metaSet);
    EXPECT_EQ(inst.outputs[0].stream.size(), 0);
  }
}

// Matrices without elements rotate to matrices without elements, by any path.
TEST(TransformImage, EmptyMatricesStayEmpty) {
  for (double degrees : {30.0, 90.0, 180.0}) {
    auto inst = instance("_TransformImage");
    addMatrix<float>(inst.inputs[0], 0, 3, 1, {});
    ASSERT_TRUE(transform(inst, 2, degrees).completed) << degrees;
    ASSERT_EQ(inst.outputs[0].stream.size(), 1);
    EXPECT_EQ(inst.outputs[0].stream.matrices[0]->count(), 0u);
  }
}

// NaN and infinite angles match no band and no exact case; their shear sizes truncate to 0 and
// leave one pixel, the top-left one. A huge angle is reduced without stepping.
TEST(TransformImage, NonFiniteAndHugeAnglesEnd) {
  for (double degrees : {std::numeric_limits<double>::quiet_NaN(), double(INFINITY), -double(INFINITY), 1e300}) {
    auto inst = instance("_TransformImage");
    addMatrix<uint8_t>(inst.inputs[0], 5, 4, 1, pattern(5, 4, 1));
    ASSERT_TRUE(transform(inst, 2, degrees).completed) << degrees;
    const std::vector<uint8_t> out = output<uint8_t>(inst, 0, 0);
    if (std::isfinite(degrees))
      EXPECT_GT(out.size(), 1u);
    else
      EXPECT_EQ(out, std::vector<uint8_t>{pattern(5, 4, 1)[0]}) << degrees;
  }
}

#if !defined(_WIN32)  // heap accounting and address-space limits are glibc and POSIX facilities
// ---- working images released on every way out --------------------------------------------------

std::size_t heapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// The host refuses the rotated output matrix; the packed images must go with the run.
TEST(TransformImage, HostFailureOnTheOutputReleasesTheWorkingImages) {
  auto inst = instance("_TransformImage");
  addMatrix<uint8_t>(inst.inputs[0], 600, 500, 3, std::vector<uint8_t>(600 * 500 * 3, 7));
  inst.limits.maxRunBytes = 1000;
  const std::size_t before = heapInUse();
  kxhost::RunResult res = transform(inst, 2, 100);
  EXPECT_FALSE(res.completed);
  EXPECT_FALSE(res.processorError);
  EXPECT_LT(heapInUse(), before + 65536);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__i386__)
// Under a ceiling on the address space, raised step by step, every run either completes or ends with
// a host exception (some of them the engine's), and no run leaves memory behind. The sanitizer's
// reservations and the 32-bit emulator's own mappings would count against the ceiling.
int exhaustMemory() {
  auto inst = instance("_TransformImage");
  addMatrix<uint8_t>(inst.inputs[0], 1024, 1024, 1, std::vector<uint8_t>(1024 * 1024, 5));
  rlimit limit{};
  getrlimit(RLIMIT_AS, &limit);
  const rlim_t original = limit.rlim_cur;
  int engineFailures = 0, completed = 0;
  for (rlim_t extra = 0; extra <= (rlim_t(96) << 20); extra += rlim_t(3) << 20) {
    inst.outputs[0].stream = kxhost::Stream{};
    const std::size_t before = heapInUse();
    // Freed memory the allocator keeps still counts, so the headroom is measured afresh each time.
    long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
      std::fclose(f);
    }
    if (pages == 0) return 2;
    limit.rlim_cur = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + extra;
    setrlimit(RLIMIT_AS, &limit);
    kxhost::RunResult res = transform(inst, 2, 100);
    limit.rlim_cur = original;
    setrlimit(RLIMIT_AS, &limit);
    inst.outputs[0].stream = kxhost::Stream{};
    if (!res.completed && res.processorError) return 3;
    completed += res.completed;
    engineFailures += res.error.find("not enough memory to rotate") != std::string::npos;
    res = kxhost::RunResult{};
    if (heapInUse() > before + 65536) return 4;
  }
  return engineFailures == 0 || completed == 0 ? 5 : 0;
}

TEST(TransformImageDeathTest, ExhaustedMemoryEndsTheRunAsAHostFailureWithoutLeaks) {
  EXPECT_EXIT(std::_Exit(exhaustMemory()), ::testing::ExitedWithCode(0), "");
}
#endif
#endif  // !_WIN32

}  // namespace
