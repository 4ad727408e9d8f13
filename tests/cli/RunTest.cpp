// kxrun run, end to end: round trips through every file format and element type, conversions on
// the input pins, partial outputs after an exception, the report and the exit status.
#include <cmath>
#include <cstring>
#include <sstream>

#include "Support.h"

using namespace clitest;

namespace {

const std::string kDivByZero = "Division durch 0; der Datenstrom am 2. Input-Pin enth\xc3\xa4lt Elemente vom Wert 0.";
const std::string kUnequal =
    "Die Bildanzahl an den Input-Pins ist ungleich. Die Operation wird einem festen Bild (1. Bild, 2. Pin) "
    "durchgef\xc3\xbchrt.";

template <class F>
void withType(int code, F&& f) {
  switch (code) {
    case 0:
      return f(uint8_t{});
    case 2:
      return f(int32_t{});
    case 3:
      return f(float{});
    default:
      return f(double{});
  }
}

template <class T>
const char* descr() {
  if constexpr (std::is_same_v<T, uint8_t>) return "|u1";
  if constexpr (std::is_same_v<T, int32_t>) return "<i4";
  if constexpr (std::is_same_v<T, float>) return "<f4";
  return "<f8";
}
template <class T>
uint16_t tiffFormat() {
  return std::is_floating_point_v<T> ? 3 : std::is_signed_v<T> ? 2 : 1;
}
const char* kTypeNames[] = {"uint8", "int16", "int32", "float32", "float64"};

// Values that exercise each type's range: wrap-around edges, signs, fractions, large magnitudes.
template <class T>
T sample(std::size_t k) {
  if constexpr (std::is_same_v<T, uint8_t>) return static_cast<uint8_t>(k * 37 + 250);
  if constexpr (std::is_same_v<T, int32_t>) {
    const int32_t edge[] = {INT32_MAX, INT32_MIN, -1, 0, 123456789};
    return k < 5 ? edge[k] : static_cast<int32_t>(static_cast<uint32_t>(k) * 2654435761u);
  }
  if constexpr (std::is_floating_point_v<T>) {
    const T edge[] = {T(1.5), T(-2.25), T(1e30), T(-0.1), T(3)};
    return k < 5 ? edge[k] : static_cast<T>((static_cast<double>(k) - 20.0) * 0.37);
  }
}
// The library's integer sums wrap; float sums are formed in double and rounded once.
template <class T>
T sum(T a, T b) {
  if constexpr (std::is_same_v<T, uint8_t>) return static_cast<uint8_t>(a + b);
  if constexpr (std::is_same_v<T, int32_t>)
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
  if constexpr (std::is_floating_point_v<T>) return static_cast<T>(double(a) + double(b));
}

template <class T>
std::string bytesOf(const std::vector<T>& v) {
  return raw(v);
}
template <class T>
std::vector<T> valuesOf(const std::string& s) {
  std::vector<T> v(s.size() / sizeof(T));
  std::memcpy(v.data(), s.data(), v.size() * sizeof(T));
  return v;
}

struct RoundTrip {
  std::string format;  // "npy" or "tif"
  int type;
};

class TypeRoundTrip : public Cli, public ::testing::WithParamInterface<RoundTrip> {};

// Two matrices in, two matrices out, every element as the library computes it, names preserved
// where the format carries them.
TEST_P(TypeRoundTrip, AddImageKeepsEveryElementAndName) {
  const RoundTrip& c = GetParam();
  withType(c.type, [&](auto tag) {
    using T = decltype(tag);
    // Matrix shapes (X, Y, planes): .npy holds equal sizes, TIFF pages may differ.
    const std::vector<std::array<uint32_t, 3>> shapes =
        c.format == "npy" ? std::vector<std::array<uint32_t, 3>>{{4, 3, 2}, {4, 3, 2}}
                          : std::vector<std::array<uint32_t, 3>>{{4, 3, 2}, {5, 2, 1}};
    std::vector<std::vector<T>> a, b;
    std::size_t k = 0;
    for (const auto& s : shapes) {
      std::vector<T> va, vb;
      for (uint32_t i = 0; i < s[0] * s[1] * s[2]; ++i, ++k) {
        va.push_back(sample<T>(k));
        vb.push_back(static_cast<T>(k % 4));
      }
      a.push_back(va);
      b.push_back(vb);
    }
    const std::string ext = "." + c.format;
    if (c.format == "npy") {
      writeFile(path("a" + ext), npyBytes(descr<T>(), {2, 3, 4, 2}, bytesOf(a[0]) + bytesOf(a[1])));
      writeFile(path("b" + ext), npyBytes(descr<T>(), {2, 3, 4, 2}, bytesOf(b[0]) + bytesOf(b[1])));
    } else {
      std::vector<Page> pa, pb;
      const char* names[] = {"erste", "gr\xc3\xbcn"};
      for (std::size_t i = 0; i < shapes.size(); ++i) {
        Page p{shapes[i][0], shapes[i][1], static_cast<uint16_t>(shapes[i][2]), sizeof(T) * 8, tiffFormat<T>(),
               names[i],     bytesOf(a[i])};
        pa.push_back(p);
        p.data = bytesOf(b[i]);
        p.name = "";
        pb.push_back(p);
      }
      writeTiff(path("a" + ext), pa);
      writeTiff(path("b" + ext), pb);
    }
    Outcome o = run({"run", "_AddImage", "--in", "0=a" + ext, "--in", "1=b" + ext, "--out", "0=out" + ext, "--out-type",
                     std::string("0=") + kTypeNames[c.type], "--report", "report.json"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");

    std::vector<std::vector<T>> got;
    if (c.format == "npy") {
      Npy n = readNpy(path("out.npy"));
      EXPECT_EQ(n.descr, descr<T>());
      EXPECT_EQ(n.shape, (std::vector<int64_t>{2, 3, 4, 2}));
      std::vector<T> all = n.values<T>();
      got = {std::vector<T>(all.begin(), all.begin() + 24), std::vector<T>(all.begin() + 24, all.end())};
    } else {
      std::vector<Page> pages = readTiff(path("out.tif"));
      ASSERT_EQ(pages.size(), 2u);
      for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(pages[i].width, shapes[i][0]);
        EXPECT_EQ(pages[i].height, shapes[i][1]);
        EXPECT_EQ(pages[i].planes, shapes[i][2]);
        EXPECT_EQ(pages[i].bits, sizeof(T) * 8);
        EXPECT_EQ(pages[i].format, tiffFormat<T>());
        got.push_back(valuesOf<T>(pages[i].data));
      }
      EXPECT_EQ(pages[0].name, "erste");
      EXPECT_EQ(pages[1].name, "gr\xc3\xbcn");
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
      ASSERT_EQ(got[i].size(), a[i].size());
      for (std::size_t e = 0; e < a[i].size(); ++e) {
        T want = sum(a[i][e], b[i][e]);
        EXPECT_EQ(std::memcmp(&got[i][e], &want, sizeof(T)), 0) << "matrix " << i << " element " << e;
      }
    }
    Json r = readJson(path("report.json"));
    EXPECT_EQ(r["inputs"]["0"]["type"], c.type);
    EXPECT_EQ(r["outputs"]["0"]["type"], c.type);
    EXPECT_EQ(r["outputs"]["0"]["matrices"].size(), 2u);
    EXPECT_EQ(r["outputs"]["0"]["matrices"][1]["x"], shapes[1][0]);
    EXPECT_EQ(r["outputs"]["0"]["matrices"][1]["count"], shapes[1][0] * shapes[1][1] * shapes[1][2]);
  });
}

INSTANTIATE_TEST_SUITE_P(Formats, TypeRoundTrip,
                         ::testing::Values(RoundTrip{"npy", 0}, RoundTrip{"npy", 2}, RoundTrip{"npy", 3},
                                           RoundTrip{"npy", 4}, RoundTrip{"tif", 0}, RoundTrip{"tif", 2},
                                           RoundTrip{"tif", 3}, RoundTrip{"tif", 4}),
                         [](const auto& info) { return info.param.format + "_" + kTypeNames[info.param.type]; });

// ---- 8-bit picture formats ---------------------------------------------------------------------------

struct PictureCase {
  std::string ext;
  int planes;
  bool plain;  // PNM written as text (P2/P3) with comments
};

std::string pnmBytes(const PictureCase& c, uint32_t w, uint32_t h, const std::vector<uint16_t>& v, int maxval = 255) {
  std::ostringstream s;
  char magic = c.planes == 3 ? (c.plain ? '3' : '6') : (c.plain ? '2' : '5');
  s << 'P' << magic << "\n# made by the tests\n" << w << ' ' << h << "\n# max\n" << maxval << "\n";
  for (uint16_t x : v) {
    if (c.plain)
      s << x << (x % 7 ? ' ' : '\n');
    else if (maxval > 255)
      s << static_cast<char>(x >> 8) << static_cast<char>(x & 0xff);
    else
      s << static_cast<char>(x);
  }
  return s.str();
}

// Reads a binary PGM or PPM as kxrun writes it.
std::vector<uint16_t> readPnm(const fs::path& p, uint32_t& w, uint32_t& h, std::string& magic) {
  std::string bytes = readFile(p);
  std::istringstream s(bytes);
  int maxval = 0;
  s >> magic >> w >> h >> maxval;
  s.get();
  std::vector<uint16_t> v;
  for (char ch; s.get(ch);) v.push_back(static_cast<unsigned char>(ch));
  EXPECT_EQ(maxval, 255);
  return v;
}

class PictureRoundTrip : public Cli, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(PictureRoundTrip, ValuesPlanesAndSizeSurvive) {
  const PictureCase& c = GetParam();
  const uint32_t w = 5, h = 3;
  std::vector<uint16_t> v;
  for (uint32_t k = 0; k < w * h * static_cast<uint32_t>(c.planes); ++k)
    v.push_back(static_cast<uint16_t>(k * 17 % 256));
  std::string in = "in." + c.ext, out = "out." + c.ext;
  if (c.ext == "png") {
    writePng(path(in), Picture{w, h, c.planes, 8, v, "bild"});
  } else {
    writeFile(path(in), pnmBytes(c, w, h, v));
  }
  writeFile(path("zero.npy"),
            npyBytes("|u1", {h, w, c.planes}, std::string(w * h * static_cast<uint32_t>(c.planes), '\0')));
  Outcome o = run({"run", "AddImage", "--in", "0=" + in, "--in", "1=zero.npy", "--out", "0=" + out});
  ASSERT_EQ(o.status, 0) << o.err;
  if (c.ext == "png") {
    Picture p = readPng(path(out));
    EXPECT_EQ(p.width, w);
    EXPECT_EQ(p.height, h);
    EXPECT_EQ(p.channels, c.planes);
    EXPECT_EQ(p.depth, 8);
    EXPECT_EQ(p.samples, v);
    EXPECT_EQ(p.title, "bild");
  } else {
    uint32_t gw = 0, gh = 0;
    std::string magic;
    EXPECT_EQ(readPnm(path(out), gw, gh, magic), v);
    EXPECT_EQ(magic, c.planes == 3 ? "P6" : "P5");
    EXPECT_EQ(gw, w);
    EXPECT_EQ(gh, h);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, PictureRoundTrip,
                         ::testing::Values(PictureCase{"png", 1, false}, PictureCase{"png", 3, false},
                                           PictureCase{"pgm", 1, false}, PictureCase{"ppm", 3, false},
                                           PictureCase{"pgm", 1, true}, PictureCase{"ppm", 3, true}),
                         [](const auto& info) {
                           return info.param.ext + std::to_string(info.param.planes) +
                                  (info.param.plain ? "_plain" : "");
                         });

TEST_F(Cli, SixteenBitPicturesAreReadAsInt32) {
  const std::vector<uint16_t> v = {0, 1, 300, 65535};
  writePng(path("deep.png"), Picture{4, 1, 1, 16, v, ""});
  writeFile(path("deep.pgm"), pnmBytes(PictureCase{"pgm", 1, false}, 4, 1, v, 65535));
  writeFile(path("zero.npy"), npyBytes("<i4", {1, 4}, std::string(16, '\0')));
  for (std::string in : {"deep.png", "deep.pgm"}) {
    Outcome o = run({"run", "_AddImage", "--in", "0=" + in, "--in", "1=zero.npy", "--out-type", "0=int32", "--out",
                     "0=out.npy", "--report", "r.json"});
    ASSERT_EQ(o.status, 0) << o.err;
    Npy n = readNpy(path("out.npy"));
    EXPECT_EQ(n.descr, "<i4");
    EXPECT_EQ(n.values<int32_t>(), (std::vector<int32_t>{0, 1, 300, 65535})) << in;
    EXPECT_EQ(readJson(path("r.json"))["inputs"]["0"]["type"], 2) << in;
  }
}

TEST_F(Cli, NpyInAnyByteAndMemoryOrderIsReadAndAlwaysWrittenFourDimensional) {
  // Logical 2 x 3 arrays: a = [[1, 2, 3], [4, 5, 6]] as big-endian int32, b the same as Fortran-order float64.
  std::string big;
  for (int32_t v : {1, 2, 3, 4, 5, 6}) {
    for (int shift = 24; shift >= 0; shift -= 8) big += static_cast<char>((static_cast<uint32_t>(v) >> shift) & 0xff);
  }
  writeFile(path("big.npy"), npyBytes(">i4", {2, 3}, big));
  writeFile(path("fortran.npy"), npyBytes("<f8", {2, 3}, raw(std::vector<double>{1, 4, 2, 5, 3, 6}), true));
  Outcome o = run({"run", "_SubImage", "--in", "0=big.npy", "--in", "1=fortran.npy", "--out-type", "0=float64", "--out",
                   "0=out.npy"});
  ASSERT_EQ(o.status, 0) << o.err;
  Npy n = readNpy(path("out.npy"));
  EXPECT_EQ(n.shape, (std::vector<int64_t>{1, 2, 3, 1}));
  EXPECT_EQ(n.values<double>(), (std::vector<double>{0, 0, 0, 0, 0, 0}));

  // (Y, X, P): one matrix of P planes.
  writeFile(path("rgb.npy"), npyBytes("|u1", {1, 2, 3}, std::string("\x01\x02\x03\x04\x05\x06", 6)));
  o = run({"run", "_AddImage", "--in", "0=rgb.npy", "--in", "1=rgb.npy", "--out", "0=out.npy"});
  ASSERT_EQ(o.status, 0) << o.err;
  n = readNpy(path("out.npy"));
  EXPECT_EQ(n.shape, (std::vector<int64_t>{1, 1, 2, 3}));
  EXPECT_EQ(n.data, std::string("\x02\x04\x06\x08\x0a\x0c", 6));
}

TEST_F(Cli, InTypeConvertsFileValuesByTheLibrarysRules) {
  writeFile(path("f.npy"), npyBytes("<f8", {1, 5}, raw(std::vector<double>{2.7, -1.5, 300.0, -2.7, 1e10})));
  writeFile(path("z8.npy"), npyBytes("|u1", {1, 5}, std::string(5, '\0')));
  writeFile(path("z32.npy"), npyBytes("<i4", {1, 5}, std::string(20, '\0')));
  Outcome o = run({"run", "_AddImage", "--in", "0=f.npy", "--in-type", "0=uint8", "--in", "1=z8.npy", "--out",
                   "0=u8.npy", "--report", "r.json"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(readNpy(path("u8.npy")).values<uint8_t>(), (std::vector<uint8_t>{2, 255, 44, 254, 0}));
  EXPECT_EQ(readJson(path("r.json"))["inputs"]["0"]["type"], 0);
  o = run({"run", "_AddImage", "--in", "0=f.npy", "--in-type", "0=2", "--in", "1=z32.npy", "--out-type", "0=int32",
           "--out", "0=i32.npy"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(readNpy(path("i32.npy")).values<int32_t>(), (std::vector<int32_t>{2, -1, 300, -2, 1410065408}));
}

TEST_F(Cli, EmptyStreamsRunAndAreWrittenAsEmptyNpy) {
  writeFile(path("empty.npy"), npyBytes("<f4", {0, 3, 4, 1}, ""));
  Outcome o = run(
      {"run", "_MultImage", "--in", "0=empty.npy", "--in", "1=empty.npy", "--out", "0=out.npy", "--report", "r.json"});
  ASSERT_EQ(o.status, 0) << o.err;
  Npy n = readNpy(path("out.npy"));
  ASSERT_FALSE(n.shape.empty());
  EXPECT_EQ(n.shape[0], 0);
  EXPECT_EQ(n.descr, "<i4");  // _MultImage's catalogue default output type
  Json r = readJson(path("r.json"));
  EXPECT_TRUE(r["outputs"]["0"]["matrices"].empty());
  EXPECT_FALSE(r["outputs"]["0"]["meta"].is_null());
}

TEST_F(Cli, OutputsAreWrittenAsHeldAfterAnExceptionAndTheReportSaysSo) {
  writeFile(path("a.npy"), npyBytes("<f8", {2, 1, 4, 1}, raw(std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8})));
  writeFile(path("b.npy"), npyBytes("<f8", {2, 1, 4, 1}, raw(std::vector<double>{1, 1, 1, 1, 2, 2, 0, 2})));
  for (std::string out : {"out.npy", "out.tif"}) {
    Outcome o = run({"run", "_DivImage", "--in", "0=a.npy", "--in", "1=b.npy", "--out-type", "0=float64", "--out",
                     "0=" + out, "--report", "r.json"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "error: " + kDivByZero + "\n");
    // Matrix 0 complete; matrix 1 holds the quotients before the zero and zeros after it.
    const std::vector<double> want = {1, 2, 3, 4, 2.5, 3, 0, 0};
    if (out == "out.npy") {
      EXPECT_EQ(readNpy(path(out)).values<double>(), want);
    } else {
      std::vector<Page> pages = readTiff(path(out));
      ASSERT_EQ(pages.size(), 2u);
      EXPECT_EQ(valuesOf<double>(pages[0].data + pages[1].data), want);
    }
    Json r = readJson(path("r.json"));
    EXPECT_TRUE(r["result"].is_null());
    EXPECT_EQ(r["error"], kDivByZero);
    EXPECT_EQ(r["outputs"]["0"]["matrices"].size(), 2u);
  }
}

TEST_F(Cli, ReportListsWarningsPinsAndMatricesInUtf8) {
  writeFile(path("three.npy"), npyBytes("|u1", {3, 2, 2, 1}, std::string(12, '\x07')));
  writeFile(path("two.npy"), npyBytes("|u1", {2, 2, 2, 1}, std::string(8, '\x01')));
  Outcome o = run(
      {"run", "AddImage", "--in", "0=three.npy", "--in", "1=two.npy", "--out-type", "0=float32", "--report", "r.json"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "warning: " + kUnequal + "\n");
  Json r = readJson(path("r.json"));
  EXPECT_EQ(r["entry"], "_AddImage");
  EXPECT_EQ(r["result"], 1);
  EXPECT_TRUE(r["error"].is_null());
  EXPECT_EQ(r["warnings"], Json::array({kUnequal}));
  EXPECT_EQ(r["inputs"]["0"], (Json{{"type", 0},
                                    {"connected", true},
                                    {"matrices",
                                     {{{"name", "three[0]"}, {"x", 2}, {"y", 2}, {"planes", 1}},
                                      {{"name", "three[1]"}, {"x", 2}, {"y", 2}, {"planes", 1}},
                                      {{"name", "three[2]"}, {"x", 2}, {"y", 2}, {"planes", 1}}}}}));
  EXPECT_EQ(r["inputs"]["1"]["matrices"].size(), 2u);
  const Json& out = r["outputs"]["0"];
  EXPECT_EQ(out["type"], 3);
  EXPECT_FALSE(out["connected"]);  // no --out: the pin stays unconnected, its stream is still reported
  EXPECT_FALSE(out["meta"].is_null());
  ASSERT_EQ(out["matrices"].size(), 3u);
  EXPECT_EQ(out["matrices"][2], (Json{{"name", "three[2]"}, {"x", 2}, {"y", 2}, {"planes", 1}, {"count", 4}}));
  // The keys come in the documented order.
  std::string text = readFile(path("r.json"));
  EXPECT_LT(text.find("\"entry\""), text.find("\"result\""));
  EXPECT_LT(text.find("\"warnings\""), text.find("\"inputs\""));
  EXPECT_LT(text.find("\"inputs\""), text.find("\"outputs\""));
}

TEST_F(Cli, ExitStatusTellsDoneExceptionAndUsage) {
  writeFile(path("a.npy"), npyBytes("|u1", {1, 2}, std::string("\x01\x02", 2)));
  EXPECT_EQ(run({"run", "_AddImage", "--in", "0=a.npy", "--in", "1=a.npy"}).status, 0);
  // Any code may stand on a pin; the processor judges it, and its exception gives status 1.
  Outcome o =
      run({"run", "_AddImage", "--in", "0=a.npy", "--in", "1=a.npy", "--out-type", "0=7", "--report", "r.json"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "error: Der am 1. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xc3\xbctzt.\n");
  EXPECT_EQ(readJson(path("r.json"))["outputs"]["0"]["type"], 7);
  o = run({"run", "_AddImage", "--in", "0=a.npy", "--in", "1=a.npy", "--in-type", "1=1"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("Der am 2. Input-Pin"), std::string::npos) << o.err;
  o = run({"run", "_Unknown"});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "error: unknown processor '_Unknown' (kxrun list shows the catalogue)\n");
}

TEST_F(Cli, ParametersAreStoredByCatalogueType) {
  if (!available("_BinImage")) GTEST_SKIP() << "_BinImage is not in this build";
  writeFile(path("a.npy"), npyBytes("<f8", {1, 4}, raw(std::vector<double>{127, 127.4, 127.5, 200})));
  Outcome o = run({"run", "_BinImage", "--in", "0=a.npy", "--param", "threshold=127,5", "--param", "above=9", "--out",
                   "0=out.npy"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(readNpy(path("out.npy")).values<uint8_t>(), (std::vector<uint8_t>{0, 0, 9, 9}));
}

// ---- catalogue ----------------------------------------------------------------------------------------

TEST_F(Cli, ListShowsEveryProcessorOnALine) {
  Outcome o = run({"list"});
  ASSERT_EQ(o.status, 0) << o.err;
  std::istringstream lines(o.out);
  std::vector<std::string> all;
  for (std::string line; std::getline(lines, line);) all.push_back(line);
  ASSERT_EQ(all.size(), 26u);
  EXPECT_EQ(all[0].rfind("_RGBJoin ", 0), 0u);
  bool found = false;
  for (const std::string& l : all) {
    found = found || (l.rfind("_AddImage ", 0) == 0 && l.find(" AddImage ") != std::string::npos &&
                      l.find("Bildverarbeitung\\Arithmetik\\Dyadische\\") != std::string::npos);
  }
  EXPECT_TRUE(found) << o.out;
}

TEST_F(Cli, InfoShowsPinsParametersAndDialog) {
  Outcome o = run({"info", "BinAdapt"});
  ASSERT_EQ(o.status, 0) << o.err;
  for (const char* want : {"_BinAdaptThreshImage", "DlgBinAdapt", "required", "uint8 int32 float32 float64",
                           "offset  float64  default: 0,1", "TA      int32    default: 0"}) {
    EXPECT_NE(o.out.find(want), std::string::npos) << want << "\n" << o.out;
  }
  o = run({"info", "_RGBSplitt"});
  EXPECT_NE(o.out.find("1  \"gr\xc3\xbcn\"  optional"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("parameters: none"), std::string::npos) << o.out;
}

TEST_F(Cli, PluginIsLookedForBesideTheProgramThenInItsParentAndOverriddenByTheEnvironment) {
  // A copy of kxrun in bin/, with a file that is no library where it looks first.
  fs::create_directory(path("bin"));
  fs::copy_file(KXRUN_PATH, path("bin/kxrun"));
  const std::string copy = path("bin/kxrun").string();
  auto runCopy = [&](const std::vector<std::string>& env) { return kxrunAt(copy, {"list"}, dir_, env); };
  writeFile(path("bin/libRasterKit.so"), "not a library");
  Outcome o = runCopy({});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("cannot load plug-in " + path("bin/libRasterKit.so").string()), std::string::npos) << o.err;
  fs::rename(path("bin/libRasterKit.so"), path("libRasterKit.so"));
  o = runCopy({});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("cannot load plug-in " + path("libRasterKit.so").string()), std::string::npos) << o.err;
  o = runCopy({"KX_PLUGIN=" RK_PLUGIN_PATH});
  EXPECT_EQ(o.status, 0) << o.err;
  o = run({"list"}, {"KX_PLUGIN=" + path("missing.so").string()});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("cannot load plug-in " + path("missing.so").string()), std::string::npos) << o.err;
}

}  // namespace
