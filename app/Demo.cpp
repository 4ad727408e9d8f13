// The demo: two synthesised pictures, a built-in graph touching every processor family, every
// output written to the demo directory, and the run page (index.html) of the results.
#include "Demo.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "Files.h"
#include "Graph.h"
#include "RunPage.h"
#include "Text.h"

namespace kxrun {

const char* demoGraphText() {
  return R"json({
  "description": "The kxrun demo: every processor family on two synthesised 160 x 120 colour pictures.",
  "nodes": {
    "picture":    {"file": "picture.png"},
    "texture":    {"file": "texture.png"},

    "ramp":       {"processor": "_ImagePlane", "params": {"X": 160, "Y": 120, "Slope": 1.5}, "write": "ramp.png"},
    "constant":   {"processor": "_ConstImage", "params": {"scalar": 64, "X": 160, "Y": 120}, "write": "constant.png"},

    "split":      {"processor": "_RGBSplitt", "in": "picture", "write": ["red.png", "green.png", "blue.png"]},
    "join":       {"processor": "_RGBJoin", "in": ["split.2", "split.0", "split.1"], "write": "join.png"},

    "sum":        {"processor": "_AddImage", "in": ["picture", "texture"], "out-type": "int32", "write": "sum.tif"},
    "difference": {"processor": "_SubImage", "in": ["picture", "texture"], "out-type": "int32", "write": "difference.tif"},
    "product":    {"processor": "_MultImage", "in": ["picture", "texture"], "write": "product.tif"},
    "quotient":   {"processor": "_DivImage", "in": ["picture", "texture"], "out-type": "float32", "write": "quotient.tif"},
    "absdiff":    {"processor": "_AbsDiffImage", "in": ["picture", "texture"], "write": "absdiff.png"},
    "blend":      {"processor": "_BlendImage", "in": ["picture", "texture"], "params": {"blendfaktor": 0.7}, "write": "blend.png"},

    "brighter":   {"processor": "_ScalarAddImage", "in": "split.1", "params": {"scalar": 60}, "out-type": "int32", "write": "brighter.tif"},
    "darker":     {"processor": "_ScalarSubImage", "in": "split.1", "params": {"scalar": 60}, "out-type": "int32", "write": "darker.tif"},
    "scaled":     {"processor": "_ScalarMultImage", "in": "split.2", "in-type": ["float32"], "params": {"scalar": 0.5}, "write": "scaled.png"},
    "halved":     {"processor": "_ScalarDivImage", "in": "split.0", "params": {"scalar": 2}, "write": "halved.png"},

    "negative":   {"processor": "_Negate", "in": "picture", "write": "negative.png"},
    "square":     {"processor": "_SquareImage", "in": "split.0", "write": "square.tif"},
    "stretched":  {"processor": "_Norm", "in": "difference", "out-type": "uint8", "write": "stretched.png"},
    "flat":       {"processor": "_Norm", "in": "constant", "write": "flat.png"},
    "noisy":      {"processor": "_Pertur", "in": "split.2", "params": {"scalar": 1}, "write": "noisy.png"},

    "mask":       {"processor": "_BinImage", "in": "split.0", "params": {"threshold": 128}, "write": "mask.png"},
    "adaptive":   {"processor": "_BinAdaptThreshImage", "in": "split.1", "params": {"consta": 8, "offset": "0,05"}, "write": "adaptive.png"},

    "both":       {"processor": "_AndImage", "in": ["mask", "adaptive"], "write": "both.png"},
    "either":     {"processor": "_OrImage", "in": ["mask", "ramp"], "write": "either.png"},
    "inverted":   {"processor": "_NotImage", "in": "mask", "write": "inverted.png"},

    "means":      {"processor": "_MittelWert", "in": "picture", "params": {"Mittelwerttyp": 1}, "out-type": "float64", "write": "means.tif"},
    "spread":     {"processor": "_MittelSigma", "in": "picture", "write": "spread.tif"},

    "mirrored":   {"processor": "_TransformImage", "in": "picture", "params": {"TransType": 0}, "write": "mirrored.png"},
    "rotated":    {"processor": "_TransformImage", "in": "picture", "params": {"TransType": 2, "RotDegree": 30}, "write": "rotated.png"}
  }
}
)json";
}

namespace {

constexpr int kWidth = 160, kHeight = 120;

unsigned char clampByte(double v) { return static_cast<unsigned char>(std::clamp(v, 0.0, 255.0)); }

// A landscape: sky and ground gradients, a sun, a red disc and a blue block.
kxhost::Stream picture() {
  kxhost::Stream s;
  kxMInfo info;
  info.X = kWidth;
  info.Y = kHeight;
  info.Planes = 3;
  info.Name = "picture";
  kxhost::Matrix& m = s.add(0, info);
  unsigned char* p = m.as<unsigned char>();
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x, p += 3) {
      double r, g, b;
      if (y < 78) {
        double t = y / 78.0;
        r = 60 + 140 * t, g = 120 + 90 * t, b = 210 - 30 * t;
      } else {
        double t = (y - 78) / 42.0;
        r = 70 - 30 * t + (x % 16 < 8 ? 10 : 0), g = 150 - 60 * t, b = 50 - 20 * t;
      }
      auto inside = [&](double cx, double cy, double radius) { return std::hypot(x - cx, y - cy) <= radius; };
      if (inside(122, 30, 15)) r = 255, g = 215, b = 60;
      if (inside(48, 74, 22)) r = 205, g = 40 + y / 3.0, b = 45;
      if (x >= 84 && x < 112 && y >= 62 && y < 100) r = 40, g = 60 + (x - 84) * 3, b = 200;
      p[0] = clampByte(r), p[1] = clampByte(g), p[2] = clampByte(b);
    }
  }
  return s;
}

// Diagonal stripes and a checkerboard; no value is 0, so the picture divides by it.
kxhost::Stream texture() {
  kxhost::Stream s;
  kxMInfo info;
  info.X = kWidth;
  info.Y = kHeight;
  info.Planes = 3;
  info.Name = "texture";
  kxhost::Matrix& m = s.add(0, info);
  unsigned char* p = m.as<unsigned char>();
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x, p += 3) {
      p[0] = static_cast<unsigned char>(40 + ((x + y) * 4) % 200);
      p[1] = static_cast<unsigned char>(((x / 20 + y / 20) % 2) ? 200 : 60);
      p[2] = static_cast<unsigned char>(30 + (x * 255 / kWidth) * 3 / 4);
    }
  }
  return s;
}

void writePicture(const fs::path& path, const kxhost::Stream& stream) {
  OutputFile file(path);
  writeStream(Format::Png, file.temp(), path, 0, stream);
  file.commit();
}

}  // namespace

int runDemo(const kxhost::Plugin& plugin, const fs::path& dir, bool progress) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir))
    throw UsageError(dir.string() + ": cannot create the demo directory" + (ec ? ": " + ec.message() : ""));
  writePicture(dir / "picture.png", picture());
  writePicture(dir / "texture.png", texture());
  OutputFile graphFile(dir / "demo-graph.json");
  writeText(graphFile, demoGraphText());

  GraphOptions options;
  options.progress = progress;
  options.keepGoing = true;
  Graph graph(plugin, parseJson(demoGraphText(), "demo-graph.json"), dir, (dir / "demo-graph.json").string(), options);

  RunPage page(graph);
  std::vector<std::string> missing;
  int status = graph.run([&](const NodeRun& run) {
    page.observe(run);
    const std::string& entry = run.node.missing;
    if (!entry.empty() && std::find(missing.begin(), missing.end(), entry) == missing.end()) missing.push_back(entry);
  });

  std::string summary = page.summary();
  if (!missing.empty()) {
    std::string list;
    for (const std::string& m : missing) list += (list.empty() ? "" : ", ") + toUtf8(m);
    summary += " This build of the plug-in does not export " + list + " yet.";
  }
  summary += " Plug-in: " + plugin.path() +
             ". The graph is demo-graph.json; run it again with kxrun graph demo-graph.json --html DIR.";
  OutputFile index(dir / "index.html");
  writeText(index, page.html("RasterKit demo", summary));

  std::printf("kxrun demo: %s\ncontact sheet: %s\n", summary.c_str(), (dir / "index.html").string().c_str());
  return status;
}

}  // namespace kxrun
