// Flip and rotate through real runs: element moves for every type pair, the shear engine against
// bytes worked out by hand and against a plain transcription of its steps, sizes, bands and bounds,
// the plane warning, and the working images released on every way out.
#if !defined(_WIN32)
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <tuple>

#include "support/GeometryReference.h"
#include "support/Harness.h"

using namespace rktest;

namespace {

const std::string kPlanes = "Beliebige Drehungen k\xf6nnen nur f\xfcr ein- und dreibandige Bilder ausgef\xfchrt werden";

kxhost::RunResult transform(kxhost::Instance& inst, int32_t type, double degrees) {
  tagVARIANT t{};
  t.vt = VT_I4;
  t.lVal = type;
  tagVARIANT d{};
  d.vt = VT_R8;
  d.dblVal = degrees;
  inst.params.at(std::size_t(inst.paramIndex("TransType"))) = t;
  inst.params.at(std::size_t(inst.paramIndex("RotDegree"))) = d;
  return inst.run();
}

// ---- a plain transcription of the shear rotation, channel by channel --------------------------------

using Px = std::array<int, 3>;

struct Img {
  int w = 0, h = 0;
  std::vector<Px> px;
  Img(int width, int height) : w(width), h(height), px(std::size_t(width) * std::size_t(height)) {}
  Px& at(int x, int y) { return px.at(std::size_t(y) * std::size_t(w) + std::size_t(x)); }
};

// One line: positions before the whole shift get 0, each source pixel keeps p - share + the share
// of the pixel before it, the last share lands after the line, the rest is 0.
void refSkew(const std::function<Px(long)>& get, const std::function<void(long, Px)>& put, long n, long m, double d) {
  const long k = static_cast<long>(std::floor(d));
  const double w = d - double(k);
  for (long j = 0; j < k && j < m; ++j) put(j, Px{});
  Px q{};
  for (long i = 0; i < n; ++i) {
    const Px p = get(i);
    Px left{}, out{};
    for (int c = 0; c < 3; ++c) {
      left[std::size_t(c)] = int(p[std::size_t(c)] * w);
      out[std::size_t(c)] = (p[std::size_t(c)] - left[std::size_t(c)] + q[std::size_t(c)]) & 255;
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
  for (int u = 0; u < H; ++u) {
    refSkew([&](long i) { return src.at(int(i), u); }, [&](long j, Px v) { d1.at(int(j), u) = v; }, W, d1.w,
            t >= 0 ? (u + 0.5) * t : ((u - H) + 0.5) * t);
  }
  Img d2(d1.w, int(W * std::fabs(s) + H * c) + 1);
  double d = s > 0 ? (W - 1) * s : (d1.w - W) * s;
  for (int u = 0; u < d1.w; ++u) {
    refSkew([&](long i) { return d1.at(u, int(i)); }, [&](long j, Px v) { d2.at(u, int(j)) = v; }, H, d2.h, d);
    d -= s;
  }
  Img d3(int(W * c + H * std::fabs(s)) + 1, d2.h);
  d = s >= 0 ? -(W - 1) * s * t : ((1 - d2.h) - (W - 1) * s) * t;
  for (int u = 0; u < d2.h; ++u) {
    refSkew([&](long i) { return d2.at(int(i), u); }, [&](long j, Px v) { d3.at(int(j), u) = v; }, d1.w, d3.w, d);
    d += t;
  }
  return d3;
}

Img refRotate(Img src, double degrees) {
  double a = -degrees;
  while (a >= 360) a -= 360;
  while (a < 0) a += 360;
  if (a <= 45 || a > 315) return refShear(src, a);
  const int W = src.w, H = src.h;
  if (a <= 135) {
    Img mid(H, W);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) mid.at(y, W - 1 - x) = src.at(x, y);
    return refShear(mid, a - 90);
  }
  if (a <= 225) {
    Img mid(W, H);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) mid.at(W - 1 - x, H - 1 - y) = src.at(x, y);
    return refShear(mid, a - 180);
  }
  Img mid(H, W);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) mid.at(H - 1 - y, x) = src.at(x, y);
  return refShear(mid, a - 270);
}

// A w x h image of `planes` (1 or 3) 8-bit planes, as the processor packs it.
Img packed(int w, int h, int planes, const std::vector<uint8_t>& v) {
  Img img(w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const std::size_t k = (std::size_t(y) * std::size_t(w) + std::size_t(x)) * std::size_t(planes);
      img.at(x, y) = planes == 3 ? Px{v[k], v[k + 1], v[k + 2]} : Px{v[k], v[k], v[k]};
    }
  }
  return img;
}

std::vector<uint8_t> pattern(int w, int h, int planes) {
  std::vector<uint8_t> v(std::size_t(w * h * planes));
  for (std::size_t k = 0; k < v.size(); ++k) v[k] = uint8_t(k * 37 + (k / 7) * 91 + 13);
  return v;
}

// Runs a general rotation of a w x h 8-bit image and compares size and bytes with the transcription.
void expectLikeReference(int w, int h, int planes, double degrees) {
  SCOPED_TRACE(::testing::Message() << w << " x " << h << " x " << planes << " by " << degrees);
  auto inst = instance("_TransformImage");
  const std::vector<uint8_t> v = pattern(w, h, planes);
  addMatrix<uint8_t>(inst.inputs[0], w, h, planes, v);
  kxhost::RunResult res = transform(inst, 2, degrees);
  ASSERT_TRUE(res.completed) << res.error;
  Img want = refRotate(packed(w, h, planes, v), degrees);
  const kxMInfo& out = inst.outputs[0].stream.matrices.at(0)->info();
  ASSERT_EQ(out.X, want.w);
  ASSERT_EQ(out.Y, want.h);
  ASSERT_EQ(out.Planes, planes);
  const std::vector<uint8_t> got = output<uint8_t>(inst, 0, 0);
  for (int y = 0; y < want.h; ++y) {
    for (int x = 0; x < want.w; ++x) {
      for (int c = 0; c < planes; ++c) {
        const std::size_t k =
            (std::size_t(y) * std::size_t(want.w) + std::size_t(x)) * std::size_t(planes) + std::size_t(c);
        ASSERT_EQ(int(got[k]), want.at(x, y)[std::size_t(c)]) << "at " << x << ", " << y << " plane " << c;
      }
    }
  }
}

// ---- bytes worked out by hand ------------------------------------------------------------------------

// RotDegree -30 is engine angle 30, no pre-rotation: s = sin 30deg = 0.49999999999999994,
// t = tan 15deg = 0.2679491924311227, c = cos 30deg = 0.8660254037844387.
struct HandCase {
  int w, h;
  std::vector<uint8_t> in;
  int outW, outH;
  std::vector<uint8_t> out;
};

class HandWorked : public ::testing::TestWithParam<HandCase> {};

TEST_P(HandWorked, ShearStepsGiveTheseBytes) {
  const HandCase& hc = GetParam();
  auto inst = instance("_TransformImage");
  addMatrix<uint8_t>(inst.inputs[0], hc.w, hc.h, 1, hc.in);
  ASSERT_TRUE(transform(inst, 2, -30).completed);
  const kxMInfo& out = inst.outputs[0].stream.matrices.at(0)->info();
  EXPECT_EQ(out.X, hc.outW);
  EXPECT_EQ(out.Y, hc.outH);
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), hc.out);

  // Three planes rotate as three independent grey images.
  auto colour = instance("_TransformImage");
  std::vector<uint8_t> rgb;
  for (uint8_t v : hc.in) rgb.insert(rgb.end(), {v, uint8_t(255 - v), uint8_t(v / 2)});
  addMatrix<uint8_t>(colour.inputs[0], hc.w, hc.h, 3, rgb);
  ASSERT_TRUE(transform(colour, 2, -30).completed);
  const std::vector<uint8_t> got = output<uint8_t>(colour, 0, 0);
  Img want = refRotate(packed(hc.w, hc.h, 3, rgb), -30);
  ASSERT_EQ(got.size(), hc.out.size() * 3);
  for (std::size_t k = 0; k < hc.out.size(); ++k) {
    EXPECT_EQ(got[3 * k], hc.out[k]);
    EXPECT_EQ(int(got[3 * k + 1]), want.px[k][1]);
    EXPECT_EQ(int(got[3 * k + 2]), want.px[k][2]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    TransformImage, HandWorked,
    ::testing::Values(
        // 2 x 2: W1 = 2 + trunc(2t) = 2. Rows shift by 0.5t and 1.5t (k = 0): [100 200] -> [87 187]
        // (shares 13, 26), [50 250] -> [30 170] (20, 100). H2 = trunc(2s + 2c) + 1 = 3; column 0
        // shifts by s: [87 30] -> [44 59 14], where 30s = 14.999999999999998 truncates to 14; column 1
        // by s - s = 0: [187 170 0]. W3 = 3; row 0 shifts by -st (k = -1, w = 0.866): shares 38, 161,
        // so [64 161 0]; row 1 by -st + t: shares 7, 22 -> [52 155 22]; row 2 by -st + 2t: [9 5 0].
        HandCase{2, 2, {100, 200, 50, 250}, 3, 3, {64, 161, 0, 52, 155, 22, 9, 5, 0}},
        // 3 x 1: W1 = 3, row shift 0.5t: [10 20 30] -> [9 19 28]. H2 = trunc(3s + c) + 1 = 3; columns
        // shift by 2s = 0.9999999999999999 (9 * that truncates to 8), s and 0: [1 8 0], [10 9 0],
        // [28 0 0]. W3 = trunc(3c + s) + 1 = 4; row 0 shifts by -2st (k = -1, w = 0.732): [3 15 20 0];
        // row 1 by -2st + t = 2^-54 > 0, so k = 0 and no share: [8 9 0 0]; row 2 is empty.
        HandCase{3, 1, {10, 20, 30}, 4, 3, {3, 15, 20, 0, 8, 9, 0, 0, 0, 0, 0, 0}},
        // 1 x 3: W1 = 1 + trunc(3t) = 1; rows shift by 0.5t, 1.5t, 2.5t: [9 12 10]. H2 =
        // trunc(s + 3c) + 1 = 4, column shift 0: [9 12 10 0]. W3 = trunc(c + 3s) + 1 = 3; rows shift
        // by 0, t, 2t, 3t: [9 0 0], [9 3 0], [5 5 0], [0 0 0].
        HandCase{1, 3, {10, 20, 30}, 3, 4, {9, 0, 0, 9, 3, 0, 5, 5, 0, 0, 0, 0}}));

// ---- the general rotation against the transcription ------------------------------------------------

class Angles : public ::testing::TestWithParam<double> {};

TEST_P(Angles, MatchTheShearStepsForEverySize) {
  const std::pair<int, int> sizes[] = {{1, 1}, {1, 6}, {6, 1},  {2, 2},   {3, 1}, {1, 3},
                                       {7, 4}, {4, 7}, {16, 9}, {33, 20}, {40, 3}};
  for (auto [w, h] : sizes) {
    expectLikeReference(w, h, 1, GetParam());
    expectLikeReference(w, h, 3, GetParam());
  }
}

// Each pre-rotation band, its bounds (45, 135, 225, 315 all leave 45 for the shears), the quarter
// turns that are not exact cases (360, 270, -270), angles near 360 that stay unreduced, and near
// misses of the exact cases.
INSTANTIATE_TEST_SUITE_P(TransformImage, Angles,
                         ::testing::Values(30.0, -30.0, 45.0, -45.0, 135.0, -135.0, 225.0, -225.0, 315.0, -315.0, 360.0,
                                           -360.0, 270.0, -270.0, 100.0, 200.0, 300.0, 10.0, 44.999, 45.001, 134.5,
                                           315.5, 720.25, -1000.5, 89.9999, 90.0000001, 179.9, 1e-9));

// An odd size larger than the engine's vectors, column strips and batches of rows, so that each
// leaves a remainder; with and without a quarter turn first.
TEST(TransformImage, OddSizeMatchesTheShearSteps) {
  for (double degrees : {30.0, -30.0, 100.0, -200.0, 290.0}) {
    expectLikeReference(131, 70, 1, degrees);
    expectLikeReference(131, 70, 3, degrees);
  }
}

TEST(TransformImage, OutputSizeFollowsTheShearFormula) {
  struct Case {
    double degrees;
    int w, h;  // the image the shears see
    double a;  // the angle they see
  };
  // -100 turns a 100 x 40 image by 90 first (to 40 x 100) and leaves 10 degrees.
  for (const Case& c : {Case{30, 100, 40, 330}, Case{-100, 40, 100, 10}, Case{-10, 100, 40, 10}}) {
    auto inst = instance("_TransformImage");
    addMatrix<uint8_t>(inst.inputs[0], 100, 40, 1, std::vector<uint8_t>(4000, 9));
    ASSERT_TRUE(transform(inst, 2, c.degrees).completed);
    const double th = c.a * 0.017453292519943295, s = std::fabs(std::sin(th)), co = std::cos(th);
    const kxMInfo& out = inst.outputs[0].stream.matrices.at(0)->info();
    EXPECT_EQ(out.X, int(c.w * co + c.h * s) + 1) << c.degrees;
    EXPECT_EQ(out.Y, int(c.w * s + c.h * co) + 1) << c.degrees;
  }
}

TEST(TransformImage, ConstantImageKeepsItsValueInsideAndZeroInTheCorners) {
  for (double degrees : {30.0, 135.0, -60.0, 200.0}) {
    SCOPED_TRACE(degrees);
    auto grey = instance("_TransformImage");
    addMatrix<uint8_t>(grey.inputs[0], 10, 10, 1, std::vector<uint8_t>(100, 200));
    ASSERT_TRUE(transform(grey, 2, degrees).completed);
    const kxMInfo& g = grey.outputs[0].stream.matrices.at(0)->info();
    EXPECT_GT(g.X, 10);
    EXPECT_GT(g.Y, 10);
    const std::vector<uint8_t> v = output<uint8_t>(grey, 0, 0);
    auto at = [&](int x, int y) { return int(v[std::size_t(y * g.X + x)]); };
    EXPECT_EQ(at(0, 0), 0);
    EXPECT_EQ(at(g.X - 1, 0), 0);
    EXPECT_EQ(at(0, g.Y - 1), 0);
    EXPECT_EQ(at(g.X - 1, g.Y - 1), 0);
    for (int y = g.Y / 2 - 2; y <= g.Y / 2 + 2; ++y)
      for (int x = g.X / 2 - 2; x <= g.X / 2 + 2; ++x) EXPECT_EQ(at(x, y), 200) << x << ", " << y;

    auto colour = instance("_TransformImage");
    std::vector<uint8_t> rgb;
    for (int k = 0; k < 64 * 48; ++k) rgb.insert(rgb.end(), {200, 10, 77});
    addMatrix<uint8_t>(colour.inputs[0], 64, 48, 3, rgb);
    ASSERT_TRUE(transform(colour, 2, degrees).completed);
    const kxMInfo& o = colour.outputs[0].stream.matrices.at(0)->info();
    const std::vector<uint8_t> c = output<uint8_t>(colour, 0, 0);
    auto px = [&](int x, int y, int p) { return int(c[std::size_t((y * o.X + x) * 3 + p)]); };
    for (int p = 0; p < 3; ++p) {
      EXPECT_EQ(px(0, 0, p), 0);
      EXPECT_EQ(px(o.X - 1, 0, p), 0);
      EXPECT_EQ(px(0, o.Y - 1, p), 0);
      EXPECT_EQ(px(o.X - 1, o.Y - 1, p), 0);
    }
    const int expectedPlane[3] = {200, 10, 77};
    for (int y = o.Y / 2 - 15; y <= o.Y / 2 + 15; ++y)
      for (int x = o.X / 2 - 15; x <= o.X / 2 + 15; ++x)
        for (int p = 0; p < 3; ++p) ASSERT_EQ(px(x, y, p), expectedPlane[p]) << x << ", " << y;
  }
}

// ---- element moves over every type pair ------------------------------------------------------------

using TypePair = std::tuple<kxType, kxType>;
class MoveTypes : public ::testing::TestWithParam<TypePair> {};

// out(x', y') = in(map(x', y')) for each exact case, planes kept in order, values converted.
TEST_P(MoveTypes, ExactCasesMoveAndConvertEveryElement) {
  const auto [inCode, outCode] = GetParam();
  const int W = 3, H = 2, P = 2;
  struct Case {
    int32_t type;
    double degrees;
    bool swapped;
    std::function<std::pair<int, int>(int, int)> source;  // output (x, y) -> input (x, y)
  };
  const Case cases[] = {
      {0, 0, false,
       [](int x, int y) {
         return std::pair{W - 1 - x, y};
       }},
      {0, 77, false,
       [](int x, int y) {
         return std::pair{W - 1 - x, y};
       }},  // the angle plays no part
      {1, 0, false,
       [](int x, int y) {
         return std::pair{x, H - 1 - y};
       }},
      {2, 0, false,
       [](int x, int y) {
         return std::pair{x, y};
       }},
      {2, 180, false,
       [](int x, int y) {
         return std::pair{W - 1 - x, H - 1 - y};
       }},
      {2, -180, false,
       [](int x, int y) {
         return std::pair{W - 1 - x, H - 1 - y};
       }},
      // +90: out(H-1-y, x) = in(x, y); -90: out(y, W-1-x) = in(x, y).
      {2, 90, true,
       [](int x, int y) {
         return std::pair{y, H - 1 - x};
       }},
      {2, -90, true,
       [](int x, int y) {
         return std::pair{W - 1 - y, x};
       }},
  };
  withType(inCode, [&]<class I>() {
    withType(outCode, [&]<class O>() {
      const std::vector<I> in = cycle<I>(std::size_t(W * H * P), 3);
      for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "type " << c.type << " degrees " << c.degrees);
        auto inst = instance("_TransformImage");
        addMatrix<I>(inst.inputs[0], W, H, P, in, "m");
        inst.outputs[0].type = outCode;
        kxhost::RunResult res = transform(inst, c.type, c.degrees);
        ASSERT_TRUE(res.completed) << res.error;
        EXPECT_TRUE(res.warnings.empty());
        const kxMInfo& info = inst.outputs[0].stream.matrices.at(0)->info();
        const int ow = c.swapped ? H : W, oh = c.swapped ? W : H;
        ASSERT_EQ(info.X, ow);
        ASSERT_EQ(info.Y, oh);
        EXPECT_EQ(info.Planes, P);
        EXPECT_STREQ(info.Name.c_str(), "m");
        const std::vector<O> out = output<O>(inst, 0, 0);
        for (int y = 0; y < oh; ++y) {
          for (int x = 0; x < ow; ++x) {
            const auto [sx, sy] = c.source(x, y);
            for (int p = 0; p < P; ++p) {
              const I v = in[std::size_t((sy * W + sx) * P + p)];
              EXPECT_TRUE(same(out[std::size_t((y * ow + x) * P + p)], expected<O>(double(v))))
                  << x << ", " << y << " plane " << p;
            }
          }
        }
      }
    });
  });
}

// The general path takes every value to its low 8 bits first (t), then converts the bytes.
TEST_P(MoveTypes, GeneralRotationPacksLowBytes) {
  const auto [inCode, outCode] = GetParam();
  withType(inCode, [&]<class I>() {
    withType(outCode, [&]<class O>() {
      const int W = 5, H = 3;
      const std::vector<I> in = cycle<I>(std::size_t(W * H));
      std::vector<uint8_t> bytes(in.size());
      for (std::size_t k = 0; k < in.size(); ++k) bytes[k] = expected<uint8_t>(double(in[k]));
      auto inst = instance("_TransformImage");
      addMatrix<I>(inst.inputs[0], W, H, 1, in);
      inst.outputs[0].type = outCode;
      ASSERT_TRUE(transform(inst, 2, 30).completed);
      Img want = refRotate(packed(W, H, 1, bytes), 30);
      const std::vector<O> out = output<O>(inst, 0, 0);
      ASSERT_EQ(out.size(), want.px.size());
      for (std::size_t k = 0; k < out.size(); ++k) EXPECT_TRUE(same(out[k], expected<O>(want.px[k][0]))) << k;
    });
  });
}

const auto kTypeCodes = ::testing::Values(0, 2, 3, 4);
INSTANTIATE_TEST_SUITE_P(All16, MoveTypes, ::testing::Combine(kTypeCodes, kTypeCodes));

// ---- cases named one by one ------------------------------------------------------------------------

TEST(TransformImage, MirrorsOfARowAndAColumn) {
  auto row = instance("_TransformImage");
  addMatrix<int32_t>(row.inputs[0], 3, 1, 2, {1, 2, 3, 4, 5, 6});
  row.outputs[0].type = 2;
  ASSERT_TRUE(transform(row, 0, 0).completed);
  EXPECT_EQ(output<int32_t>(row, 0, 0), (std::vector<int32_t>{5, 6, 3, 4, 1, 2}));

  auto column = instance("_TransformImage");
  addMatrix<uint8_t>(column.inputs[0], 1, 3, 1, {7, 8, 9});
  ASSERT_TRUE(transform(column, 1, 0).completed);
  EXPECT_EQ(output<uint8_t>(column, 0, 0), (std::vector<uint8_t>{9, 8, 7}));
}

TEST(TransformImage, QuarterTurnsPlaceTheTopLeftElement) {
  // 3 x 2: [1 2 3 / 4 5 6]
  auto cw = instance("_TransformImage");
  addMatrix<uint8_t>(cw.inputs[0], 3, 2, 1, {1, 2, 3, 4, 5, 6});
  ASSERT_TRUE(transform(cw, 2, 90).completed);
  EXPECT_EQ(output<uint8_t>(cw, 0, 0), (std::vector<uint8_t>{4, 1, 5, 2, 6, 3}));  // 1 at the top right

  auto ccw = instance("_TransformImage");
  addMatrix<uint8_t>(ccw.inputs[0], 3, 2, 1, {1, 2, 3, 4, 5, 6});
  ASSERT_TRUE(transform(ccw, 2, -90).completed);
  EXPECT_EQ(output<uint8_t>(ccw, 0, 0), (std::vector<uint8_t>{3, 6, 2, 5, 1, 4}));  // 1 at the bottom left
}

// 360, 270 and -270 are geometric identities or quarter turns but not exact cases: they pass the
// 8-bit path, so 300.7 becomes 44.
TEST(TransformImage, NonExactQuarterTurnsReduceValuesToBytes) {
  struct Case {
    double degrees;
    std::vector<double> out;  // of the 2 x 1 input [300.7, -1.0]
  };
  for (const Case& c : {Case{360, {44, 255}}, Case{270, {255, 44}}, Case{-270, {44, 255}}, Case{0, {300.7, -1}}}) {
    auto inst = instance("_TransformImage");
    addMatrix<double>(inst.inputs[0], 2, 1, 1, {300.7, -1.0});
    inst.outputs[0].type = 4;
    ASSERT_TRUE(transform(inst, 2, c.degrees).completed);
    EXPECT_EQ(output<double>(inst, 0, 0), c.out) << c.degrees;
  }
}

TEST(TransformImage, NearlyAQuarterTurnTakesTheGeneralPath) {
  auto inst = instance("_TransformImage");
  addMatrix<int32_t>(inst.inputs[0], 4, 2, 1, std::vector<int32_t>(8, 300));
  inst.outputs[0].type = 2;
  ASSERT_TRUE(transform(inst, 2, 90.0000001).completed);
  const kxMInfo& out = inst.outputs[0].stream.matrices.at(0)->info();
  EXPECT_EQ(out.X, 3);  // trunc(4 |c| + 2 |s|) + 1, not 2
  EXPECT_EQ(out.Y, 5);
  const std::vector<int32_t> v = output<int32_t>(inst, 0, 0);
  EXPECT_NE(std::count(v.begin(), v.end(), 44), 0);
  for (int32_t e : v) EXPECT_TRUE(e >= 0 && e < 256) << e;
}

// A matrix of other than 1 or 3 planes gives the warning and no output; the next output matrix
// follows the last one made, so the stream keeps no hole.
TEST(TransformImage, OtherPlaneCountsWarnAndAreSkipped) {
  auto inst = instance("_TransformImage");
  addMatrix<uint8_t>(inst.inputs[0], 3, 2, 3, pattern(3, 2, 3), "a");
  addMatrix<uint8_t>(inst.inputs[0], 3, 2, 2, pattern(3, 2, 2), "b");
  addMatrix<uint8_t>(inst.inputs[0], 3, 2, 4, pattern(3, 2, 4), "c");
  addMatrix<uint8_t>(inst.inputs[0], 3, 2, 1, pattern(3, 2, 1), "d");
  kxhost::RunResult res = transform(inst, 2, 30);
  ASSERT_TRUE(res.completed) << res.error;
  EXPECT_EQ(res.warnings, (std::vector<std::string>{kPlanes, kPlanes}));
  ASSERT_EQ(inst.outputs[0].stream.size(), 2);
  EXPECT_STREQ(inst.outputs[0].stream.matrices[0]->info().Name.c_str(), "a");
  EXPECT_STREQ(inst.outputs[0].stream.matrices[1]->info().Name.c_str(), "d");
  Img want = refRotate(packed(3, 2, 1, pattern(3, 2, 1)), 30);
  const std::vector<uint8_t> got = output<uint8_t>(inst, 0, 1);
  ASSERT_EQ(got.size(), want.px.size());
  for (std::size_t k = 0; k < got.size(); ++k) EXPECT_EQ(int(got[k]), want.px[k][0]);

  auto exact = instance("_TransformImage");
  addMatrix<uint8_t>(exact.inputs[0], 3, 2, 2, pattern(3, 2, 2));
  res = transform(exact, 2, 90);
  ASSERT_TRUE(res.completed);
  EXPECT_TRUE(res.warnings.empty());
  EXPECT_EQ(exact.outputs[0].stream.size(), 1);
}

TEST(TransformImage, UnknownTransTypeWritesNothing) {
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

TEST(TransformImage, OutputKeepsNameUserDataAndPlanes) {
  auto inst = instance("_TransformImage");
  kxhost::Matrix& m = addMatrix<uint8_t>(inst.inputs[0], 5, 4, 3, pattern(5, 4, 3), "foto");
  const unsigned char user[] = {42};
  m.info().UserDatas.assign(user, 1);
  ASSERT_TRUE(transform(inst, 2, 33).completed);
  const kxMInfo& out = inst.outputs[0].stream.matrices.at(0)->info();
  EXPECT_STREQ(out.Name.c_str(), "foto");
  ASSERT_EQ(out.UserDatas.size(), 1);
  EXPECT_EQ(out.UserDatas.data()[0], 42);
  EXPECT_EQ(out.Planes, 3);
}

// Matrices without elements rotate to matrices without elements, by any path.
TEST(TransformImage, EmptyMatricesStayEmpty) {
  for (double degrees : {30.0, 90.0, 180.0}) {
    auto inst = instance("_TransformImage");
    addSized<float>(inst.inputs[0], 3, 0, 3, 1, {});
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

TEST(TransformImage, PinTypesCheckedInOrder) {
  auto in = instance("_TransformImage");
  in.inputs[0].type = 1;
  in.outputs[0].type = 1;
  kxhost::RunResult res = transform(in, 2, 30);
  EXPECT_TRUE(res.processorError);
  EXPECT_EQ(res.error, "Der am 1. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.");

  auto out = instance("_TransformImage");
  out.outputs[0].type = 7;
  res = transform(out, 2, 30);
  EXPECT_TRUE(res.processorError);
  EXPECT_EQ(res.error, "Der am 1. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.");
}

#if !defined(_WIN32)  // heap accounting and address-space limits are glibc and POSIX facilities
// ---- working images released on every way out ---------------------------------------------------------

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
// a host exception, and no run leaves memory behind. (The sanitizer's own reservations rule this
// out there, and the 32-bit build runs under an emulator whose own mappings count against the
// ceiling; the leak check covers the failure on output creation above.)
// The process's address space in bytes, or 0 when it cannot be read.
rlim_t addressSpace() {
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  return rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE));
}

int exhaustMemory() {
  auto inst = instance("_TransformImage");
  addMatrix<uint8_t>(inst.inputs[0], 1024, 1024, 1, std::vector<uint8_t>(1024 * 1024, 5));
  rlimit limit{};
  getrlimit(RLIMIT_AS, &limit);
  const rlim_t original = limit.rlim_cur;
  int engineFailures = 0, completed = 0;
  for (rlim_t extra = 0; extra <= (rlim_t(96) << 20); extra += rlim_t(3) << 20) {
    for (auto& pin : inst.outputs) pin.stream = kxhost::Stream{};
    const std::size_t before = heapInUse();
    // Freed memory the allocator keeps still counts, so the headroom is measured afresh each time.
    const rlim_t base = addressSpace();
    if (base == 0) return 2;
    limit.rlim_cur = base + extra;
    setrlimit(RLIMIT_AS, &limit);
    bool ok = false, hostFailure = false, engine = false;
    {
      kxhost::RunResult res = transform(inst, 2, 100);
      ok = res.completed;
      hostFailure = !res.completed && !res.processorError;
      engine = res.error.find("not enough memory to rotate") != std::string::npos;
    }
    limit.rlim_cur = original;
    setrlimit(RLIMIT_AS, &limit);
    for (auto& pin : inst.outputs) pin.stream = kxhost::Stream{};
    if (!ok && !hostFailure) {
      std::fprintf(stderr, "run at +%lu bytes ended with a processor error\n", static_cast<unsigned long>(extra));
      return 3;
    }
    if (heapInUse() > before + 65536) {
      std::fprintf(stderr, "run at +%lu bytes left %zu bytes\n", static_cast<unsigned long>(extra),
                   heapInUse() - before);
      return 4;
    }
    completed += ok;
    engineFailures += engine;
  }
  if (engineFailures == 0 || completed == 0) {
    std::fprintf(stderr, "%d engine failures, %d completed runs\n", engineFailures, completed);
    return 5;
  }
  return 0;
}

TEST(TransformImageDeathTest, ExhaustedMemoryEndsTheRunAsAHostFailureWithoutLeaks) {
  EXPECT_EXIT(std::_Exit(exhaustMemory()), ::testing::ExitedWithCode(0), "");
}
#endif
#endif  // !_WIN32

}  // namespace
