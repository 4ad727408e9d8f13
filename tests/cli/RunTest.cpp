// kxrun run, list and info, end to end: round trips through every file format and element type,
// conversions on the input pins, partial outputs after an exception, the report and the exit status.
#include <regex>
#include <sstream>

#include "Support.h"

using namespace clitest;

namespace {

const std::string kDivByZero = "Division durch 0; der Datenstrom am 2. Input-Pin enth\xc3\xa4lt Elemente vom Wert 0.";
const std::string kUnequal =
    "Die Bildanzahl an den Input-Pins ist ungleich. Die Operation wird einem festen Bild (1. Bild, 2. Pin) "
    "durchgef\xc3\xbchrt.";

// a holds values that exercise the type's range (wrap-around edges, signs, fractions, large
// magnitudes), b small counts, and the sum is a + b as the library forms it: integers wrap, floats
// are added in double and rounded once.
template <class T>
std::tuple<std::string, std::string, std::string> operands(std::size_t n, std::size_t k0) {
  std::vector<T> a, b, sum;
  for (std::size_t k = k0; k < k0 + n; ++k) {
    if constexpr (std::is_same_v<T, uint8_t>) {
      a.push_back(static_cast<uint8_t>(k * 37 + 250));
    } else if constexpr (std::is_same_v<T, int32_t>) {
      const int32_t edge[] = {INT32_MAX, INT32_MIN, -1, 0, 123456789};
      a.push_back(k < 5 ? edge[k] : int32_t(uint32_t(k) * 2654435761u));
    } else {
      const T edge[] = {T(1.5), T(-2.25), T(1e30), T(-0.1), T(3)};
      a.push_back(k < 5 ? edge[k] : T((double(k) - 20.0) * 0.37));
    }
    b.push_back(T(k % 4));
    if constexpr (std::is_integral_v<T>) sum.push_back(T(uint32_t(a.back()) + uint32_t(b.back())));
    if constexpr (std::is_floating_point_v<T>) sum.push_back(T(double(a.back()) + double(b.back())));
  }
  return {raw(a), raw(b), raw(sum)};
}

struct ElementType {
  int code;
  const char *name, *descr;
  uint16_t format, bits;
  std::tuple<std::string, std::string, std::string> (*operands)(std::size_t, std::size_t);
};
const ElementType kTypes[] = {{0, "uint8", "|u1", 1, 8, operands<uint8_t>},
                              {2, "int32", "<i4", 2, 32, operands<int32_t>},
                              {3, "float32", "<f4", 3, 32, operands<float>},
                              {4, "float64", "<f8", 3, 64, operands<double>}};

auto fields(const Page& p) { return std::tie(p.width, p.height, p.planes, p.bits, p.format, p.name, p.data); }

class TypeRoundTrip : public Cli, public ::testing::WithParamInterface<std::tuple<std::string, ElementType>> {};

// Two matrices in, two out, every element as the library computes it, names kept where the format
// carries them. .npy holds matrices of one size, TIFF pages may differ.
TEST_P(TypeRoundTrip, AddImageKeepsEveryElementAndName) {
  const auto& [ext, t] = GetParam();
  const bool npy = ext == ".npy";
  std::vector<Page> a = {{4, 3, 2, t.bits, t.format, "erste", ""},
                         {npy ? 4u : 5u, npy ? 3u : 2u, uint16_t(npy ? 2 : 1), t.bits, t.format, "gr\xc3\xbcn", ""}};
  std::vector<Page> b = a, sum = a;
  for (std::size_t i = 0, k = 0; i < 2; k += a[i].width * a[i].height * a[i].planes, ++i) {
    std::tie(a[i].data, b[i].data, sum[i].data) = t.operands(a[i].width * a[i].height * a[i].planes, k);
    b[i].name = "";
  }
  if (npy) {
    put("a.npy", npyBytes(t.descr, {2, 3, 4, 2}, a[0].data + a[1].data));
    put("b.npy", npyBytes(t.descr, {2, 3, 4, 2}, b[0].data + b[1].data));
  } else {
    writeTiff(path("a.tif"), a);
    writeTiff(path("b.tif"), b);
  }
  Outcome o = ok("run _AddImage --in 0=a" + ext + " --in 1=b" + ext + " --out 0=out" + ext + " --out-type 0=" + t.name +
                 " --report r.json");
  EXPECT_EQ(o.err, "");
  if (npy) {
    Npy n = readNpy(path("out.npy"));
    EXPECT_EQ(n.descr, t.descr);
    EXPECT_EQ(n.shape, (std::vector<int64_t>{2, 3, 4, 2}));
    EXPECT_EQ(n.data, sum[0].data + sum[1].data);
  } else {
    std::vector<Page> got = readTiff(path("out.tif"));
    ASSERT_EQ(got.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ(fields(got[i]), fields(sum[i])) << "page " << i;
  }
  Json r = readJson(path("r.json")), out = r["outputs"]["0"];
  EXPECT_EQ(std::tie(r["inputs"]["0"]["type"], out["type"], out["matrices"][1]["x"], out["matrices"][1]["count"]),
            std::tuple(Json(t.code), Json(t.code), Json(a[1].width), Json(a[1].width * a[1].height * a[1].planes)));
  EXPECT_EQ(out["matrices"].size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Formats, TypeRoundTrip,
                         ::testing::Combine(::testing::Values(".npy", ".tif"), ::testing::ValuesIn(kTypes)),
                         [](const auto& info) {
                           return std::get<0>(info.param).substr(1) + "_" + std::get<1>(info.param).name;
                         });

// A page of several strips, the last one partial: kxrun writes them in row order and reads them
// back (its own layout, strips end to end) as libtiff does.
TEST_F(Cli, APageOfSeveralStripsKeepsItsRowsInOrder) {
  const std::string ramp = "run _ImagePlane --param X=2048 --param Y=1100 --out-type 0=float64 --out 0=ramp";
  ok(ramp + ".npy");
  ok(ramp + ".tif");
  ok("run _ScalarAddImage --param scalar=0 --in 0=ramp.tif --out-type 0=float64 --out 0=back.npy");
  const std::string expected = readNpy(path("ramp.npy")).data;
  std::vector<Page> got = readTiff(path("ramp.tif"));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].data == expected);
  EXPECT_TRUE(readNpy(path("back.npy")).data == expected);
}

// ---- 8-bit picture formats ---------------------------------------------------------------------------

// Extension, planes, PNM written as text (P2/P3) with comments.
class PictureRoundTrip : public Cli, public ::testing::WithParamInterface<std::tuple<std::string, int, bool>> {};

TEST_P(PictureRoundTrip, ValuesPlanesAndSizeSurvive) {
  const auto& [ext, planes, plain] = GetParam();
  const uint32_t w = 5, h = 3, n = w * h * uint32_t(planes);
  std::vector<uint16_t> v;
  std::ostringstream pnm;
  pnm << 'P' << (planes == 3 ? (plain ? '3' : '6') : (plain ? '2' : '5')) << "\n# made by the tests\n5 3\n# max\n255\n";
  for (uint32_t k = 0; k < n; ++k) {
    v.push_back(static_cast<uint16_t>(k * 17 % 256));
    plain ? pnm << v.back() << (k % 7 ? ' ' : '\n') : pnm << static_cast<char>(v.back());
  }
  ext == "png" ? writePng(path("in.png"), Picture{w, h, planes, 8, v, "bild"}) : put("in." + ext, pnm.str());
  put("zero.npy", npyBytes("|u1", {h, w, planes}, std::string(n, '\0')));
  ok("run AddImage --in 0=in." + ext + " --in 1=zero.npy --out 0=out." + ext);
  if (ext == "png") {
    Picture p = readPng(path("out.png"));
    EXPECT_EQ(std::tie(p.width, p.height, p.channels, p.depth, p.samples, p.title),
              std::tuple(w, h, planes, 8, v, "bild"));
  } else {
    std::string binary(v.begin(), v.end());
    EXPECT_EQ(readFile(path("out." + ext)), (planes == 3 ? "P6\n5 3\n255\n" : "P5\n5 3\n255\n") + binary);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, PictureRoundTrip,
                         ::testing::Values(std::tuple("png", 1, false), std::tuple("png", 3, false),
                                           std::tuple("pgm", 1, false), std::tuple("ppm", 3, false),
                                           std::tuple("pgm", 1, true), std::tuple("ppm", 3, true)));

// ---- conversions, empty streams, exceptions and the report ---------------------------------------------

TEST_F(Cli, InTypeConvertsFileValuesByTheLibrarysRulesAndNpyOfYXPIsOneMatrix) {
  put("f.npy", npyBytes("<f8", {1, 5}, raw(std::vector<double>{2.7, -1.5, 300.0, -2.7, 1e10})));
  put("z8.npy", npyBytes("|u1", {1, 5}, std::string(5, '\0')));
  put("z32.npy", npyBytes("<i4", {1, 5}, std::string(20, '\0')));
  ok("run _AddImage --in 0=f.npy --in-type 0=uint8 --in 1=z8.npy --out 0=u8.npy --report r.json");
  EXPECT_EQ(values<uint8_t>(readNpy(path("u8.npy")).data), (std::vector<uint8_t>{2, 255, 44, 254, 0}));
  EXPECT_EQ(readJson(path("r.json"))["inputs"]["0"]["type"], 0);
  ok("run _AddImage --in 0=f.npy --in-type 0=2 --in 1=z32.npy --out-type 0=int32 --out 0=i32.npy");
  EXPECT_EQ(values<int32_t>(readNpy(path("i32.npy")).data), (std::vector<int32_t>{2, -1, 300, -2, 1410065408}));
  // (Y, X, P) is one matrix of P planes; the output is always (N, Y, X, P).
  put("rgb.npy", npyBytes("|u1", {1, 2, 3}, std::string("\x01\x02\x03\x04\x05\x06", 6)));
  ok("run _AddImage --in 0=rgb.npy --in 1=rgb.npy --out 0=out.npy");
  Npy n = readNpy(path("out.npy"));
  EXPECT_EQ(n.shape, (std::vector<int64_t>{1, 1, 2, 3}));
  EXPECT_EQ(n.data, std::string("\x02\x04\x06\x08\x0a\x0c", 6));
}

TEST_F(Cli, EmptyStreamsRunAndAreWrittenAsEmptyNpy) {
  put("empty.npy", npyBytes("<f4", {0, 3, 4, 1}, ""));
  ok("run _MultImage --in 0=empty.npy --in 1=empty.npy --out 0=out.npy --report r.json");
  Npy n = readNpy(path("out.npy"));
  EXPECT_EQ(n.shape.at(0), 0);
  EXPECT_EQ(n.descr, "<i4");  // _MultImage's catalogue default output type
  Json r = readJson(path("r.json"))["outputs"]["0"];
  EXPECT_TRUE(r["matrices"].empty());
  EXPECT_FALSE(r["meta"].is_null());
}

TEST_F(Cli, OutputsAreWrittenAsHeldAfterAnExceptionAndTheReportSaysSo) {
  put("a.npy", npyBytes("<f8", {2, 1, 4, 1}, raw(std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8})));
  put("b.npy", npyBytes("<f8", {2, 1, 4, 1}, raw(std::vector<double>{1, 1, 1, 1, 2, 2, 0, 2})));
  for (std::string out : {"out.npy", "out.tif"}) {
    Outcome o = run("run _DivImage --in 0=a.npy --in 1=b.npy --out-type 0=float64 --out 0=" + out + " --report r.json");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "error: " + kDivByZero + "\n");
    // Matrix 0 complete; matrix 1 holds the quotients before the zero and zeros after it.
    std::vector<Page> pages = out == "out.tif" ? readTiff(path(out)) : std::vector<Page>(2);
    EXPECT_EQ(values<double>(out == "out.npy" ? readNpy(path(out)).data : pages[0].data + pages[1].data),
              (std::vector<double>{1, 2, 3, 4, 2.5, 3, 0, 0}));
    Json r = readJson(path("r.json"));
    EXPECT_EQ(std::tie(r["result"], r["error"]), std::tuple(Json(), Json(kDivByZero)));
    EXPECT_EQ(r["outputs"]["0"]["matrices"].size(), 2u);
  }
  // A run that fails before its first matrix leaves no file, and its error is the only one.
  put("c.npy", npyBytes("<f8", {1, 1, 3, 1}, raw(std::vector<double>{1, 2, 3})));
  for (std::string out : {"none.npy", "none.tif"}) {
    Outcome o = run("run _DivImage --in 0=a.npy --in 1=c.npy --out 0=" + out);
    EXPECT_TRUE(fails(o, 1, "differ in size"));
    EXPECT_EQ(o.err.find("error: ", 1), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(path(out)));
  }
}

TEST_F(Cli, ReportListsWarningsPinsAndMatricesInUtf8) {
  put("three.npy", npyBytes("|u1", {3, 2, 2, 1}, std::string(12, '\x07')));
  put("two.npy", npyBytes("|u1", {2, 2, 2, 1}, std::string(8, '\x01')));
  Outcome o = ok("run AddImage --in 0=three.npy --in 1=two.npy --out-type 0=float32 --report r.json");
  EXPECT_EQ(o.err, "warning: " + kUnequal + "\n");
  Json r = readJson(path("r.json"));
  EXPECT_EQ(std::tie(r["entry"], r["result"], r["error"], r["warnings"]),
            std::tuple(Json("_AddImage"), Json(1), Json(), Json::array({kUnequal})));
  const Json m = Json::parse(R"({"name": "three[2]", "x": 2, "y": 2, "planes": 1})");
  EXPECT_EQ(r["inputs"]["0"]["matrices"][2], m);
  EXPECT_EQ(std::tie(r["inputs"]["0"]["type"], r["inputs"]["0"]["connected"]), std::tuple(Json(0), Json(true)));
  EXPECT_EQ(r["inputs"]["1"]["matrices"].size(), 2u);
  // No --out: the output pin stays unconnected, its stream is still reported.
  const Json& out = r["outputs"]["0"];
  EXPECT_EQ(std::tie(out["type"], out["connected"]), std::tuple(Json(3), Json(false)));
  EXPECT_FALSE(out["meta"].is_null());
  ASSERT_EQ(out["matrices"].size(), 3u);
  Json counted = m;
  counted["count"] = 4;
  EXPECT_EQ(out["matrices"][2], counted);
  // The keys come in the documented order.
  const std::string text = readFile(path("r.json"));
  EXPECT_LT(text.find("\"entry\""), text.find("\"result\""));
  EXPECT_LT(text.find("\"warnings\""), text.find("\"inputs\""));
  EXPECT_LT(text.find("\"inputs\""), text.find("\"outputs\""));
}

TEST_F(Cli, ExitStatusTellsDoneExceptionAndUsage) {
  put("a.npy", npyBytes("<f8", {1, 4}, raw(std::vector<double>{127, 127.4, 127.5, 200})));
  ok("run _AddImage --in 0=a.npy --in 1=a.npy");
  // Any code may stand on a pin; the processor judges it, and its exception gives status 1.
  Outcome o = run("run _AddImage --in 0=a.npy --in 1=a.npy --out-type 0=7 --report r.json");
  EXPECT_EQ(
      std::tie(o.status, o.err),
      std::tuple(1, "error: Der am 1. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xc3\xbctzt.\n"));
  EXPECT_EQ(readJson(path("r.json"))["outputs"]["0"]["type"], 7);
  EXPECT_TRUE(fails(run("run _AddImage --in 0=a.npy --in 1=a.npy --in-type 1=1"), 1, "Der am 2. Input-Pin"));
  // A matrix of the ceiling's size is allowed; the thread option wins over the variable.
  ok("run _ConstImage --param X=2000 --param Y=1000 --out 0=big.npy --max-matrix-bytes 2000000");
  EXPECT_EQ(run("run _ConstImage --threads 3", {"RK_THREADS=x"}).status, 0);
  // Parameters are stored by their catalogue type, a decimal comma included.
  ok("run _BinImage --in 0=a.npy --param threshold=127,5 --param above=9 --out 0=out.npy");
  EXPECT_EQ(readNpy(path("out.npy")).data, std::string("\0\0\x09\x09", 4));
}

// ---- catalogue and plug-in ------------------------------------------------------------------------

TEST_F(Cli, ListAndInfoShowTheCatalogue) {
  Outcome o = ok("list");
  EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 26);
  EXPECT_EQ(o.out.rfind("_RGBJoin ", 0), 0u) << o.out;
  EXPECT_TRUE(
      std::regex_search(o.out, std::regex(R"(\n_AddImage +AddImage .*Bildverarbeitung\\Arithmetik\\Dyadische\\)")))
      << o.out;
  o = ok("info BinAdapt");
  for (const char* want : {"_BinAdaptThreshImage", "DlgBinAdapt", "required", "uint8 int32 float32 float64",
                           "offset  float64  default: 0,1", "TA      int32    default: 0"})
    EXPECT_NE(o.out.find(want), std::string::npos) << want << "\n" << o.out;
  o = ok("info _RGBSplitt");
  EXPECT_NE(o.out.find("1  \"gr\xc3\xbcn\"  optional"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("parameters: none"), std::string::npos) << o.out;
}

TEST_F(Cli, PluginIsLookedForBesideTheProgramThenInItsParentAndOverriddenByTheEnvironment) {
  // A copy of kxrun in bin/, with a file that is no library where it looks first.
  fs::create_directory(path("bin"));
  fs::copy_file(KXRUN_PATH, path("bin/kxrun"));
  auto list = [&](const Args& env) { return kxrun({"list"}, dir_, env, path("bin/kxrun").string()); };
  put("bin/libRasterKit.so", "not a library");
  EXPECT_TRUE(fails(list({}), 2, "cannot load plug-in " + path("bin/libRasterKit.so").string()));
  fs::rename(path("bin/libRasterKit.so"), path("libRasterKit.so"));
  EXPECT_TRUE(fails(list({}), 2, "cannot load plug-in " + path("libRasterKit.so").string()));
  EXPECT_EQ(list({"KX_PLUGIN=" RK_PLUGIN_PATH}).status, 0);
  EXPECT_TRUE(fails(run("list", {"KX_PLUGIN=" + path("missing.so").string()}), 2,
                    "cannot load plug-in " + path("missing.so").string()));
}

}  // namespace
