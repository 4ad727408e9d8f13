// The demo: two synthesised pictures, a built-in graph touching every processor family, every
// output written to the demo directory, and a contact sheet (index.html) of the results.
#include "Demo.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "Files.h"
#include "Graph.h"
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

std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string base64(const std::vector<unsigned char>& bytes) {
  static const char* kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = uint32_t(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= uint32_t(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= bytes[i + 2];
    out += kDigits[v >> 18 & 63];
    out += kDigits[v >> 12 & 63];
    out += i + 1 < bytes.size() ? kDigits[v >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
  }
  return out;
}

double valueAt(const kxhost::Matrix& m, std::size_t k) {
  switch (m.type()) {
    case 0:
      return m.as<uint8_t>()[k];
    case 1:
      return m.as<int16_t>()[k];
    case 2:
      return m.as<int32_t>()[k];
    case 3:
      return m.as<float>()[k];
    default:
      return m.as<double>()[k];
  }
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

// One matrix as a picture: 8-bit values as they are, other types stretched from their smallest to
// their largest value; three planes as colour, otherwise plane 0 as grey.
std::string pictureHtml(const kxhost::Matrix& m) {
  const kxMInfo& info = m.info();
  if (m.count() == 0) return "<p class=note>a matrix without elements</p>";
  const std::size_t X = static_cast<std::size_t>(info.X), Y = static_cast<std::size_t>(info.Y),
                    P = static_cast<std::size_t>(info.Planes);
  const std::size_t channels = P == 3 ? 3 : 1;
  double lo = INFINITY, hi = -INFINITY;
  for (std::size_t k = 0; k < X * Y; ++k) {
    for (std::size_t c = 0; c < channels; ++c) {
      double v = valueAt(m, k * P + c);
      if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
    }
  }
  const bool direct = m.type() == 0;
  std::vector<unsigned char> px(X * Y * channels);
  for (std::size_t k = 0; k < X * Y; ++k) {
    for (std::size_t c = 0; c < channels; ++c) {
      double v = valueAt(m, k * P + c);
      if (!direct) v = !std::isfinite(v) ? 0 : hi > lo ? (v - lo) * 255.0 / (hi - lo) : 128;
      px[k * channels + c] = clampByte(v);
    }
  }
  std::vector<unsigned char> png = encodePng(info.X, info.Y, static_cast<int>(channels), px.data());
  const std::size_t scale = std::max<std::size_t>(1, 240 / std::max(X, Y));
  std::string html = "<img src=\"data:image/png;base64," + base64(png) + "\" width=" + std::to_string(X * scale) +
                     " height=" + std::to_string(Y * scale) + " alt=\"\">";
  std::string note;
  if (!direct && lo <= hi) note = "values " + number(lo) + " to " + number(hi) + (hi > lo ? ", stretched" : "");
  if (P != 1 && P != 3) note += std::string(note.empty() ? "" : "; ") + "plane 0 of " + std::to_string(P) + " shown";
  if (m.count() <= 12) {
    std::string values;
    for (std::size_t k = 0; k < m.count(); ++k) values += (k ? ", " : "") + number(valueAt(m, k));
    note += std::string(note.empty() ? "" : "; ") + "elements " + values;
  }
  if (!note.empty()) html += "<p class=note>" + escape(note) + "</p>";
  return html;
}

std::string pinHtml(const kxhost::Pin& pin, const std::string& label) {
  const auto& ms = pin.stream.matrices;
  std::string caption = label + ": " + typeName(pin.type);
  if (ms.empty()) return "<div class=pin><p class=caption>" + escape(caption) + ", no matrix</p></div>";
  const kxMInfo& info = ms[0]->info();
  caption += ", " + std::to_string(info.X) + " x " + std::to_string(info.Y) + " x " + std::to_string(info.Planes) +
             ", \"" + toUtf8(info.Name.c_str()) + "\"";
  if (ms.size() > 1) caption += ", matrix 0 of " + std::to_string(ms.size());
  return "<div class=pin>" + pictureHtml(*ms[0]) + "<p class=caption>" + escape(caption) + "</p></div>";
}

struct Card {
  std::string name, processor, status, note, body;
  std::vector<std::string> params, warnings, files;
};

Card cardFor(const NodeRun& run) {
  const GraphNode& node = run.node;
  Card card;
  card.name = node.name;
  card.status = run.status == NodeRun::Ran ? "ran" : run.status == NodeRun::Failed ? "failed" : "skipped";
  card.note = run.note;
  card.files = run.written;
  if (node.isSource) {
    card.processor = "file " + node.file.filename().string();
    card.body = pinHtml(node.source, "stream");
    return card;
  }
  card.processor = toUtf8(node.record->entry) + " (\"" + toUtf8(node.record->displayName) + "\")";
  for (const ParameterDescriptor* p = node.record->params; p && p->name; ++p) {
    std::string name = toUtf8(p->name), value = toUtf8(p->defaultText) + " (default)";
    for (const auto& [given, text] : node.paramTexts) {
      if (given == name) value = text;
    }
    card.params.push_back(name + " = " + value);
  }
  if (run.result) {
    for (const std::string& w : run.result->warnings) card.warnings.push_back(toUtf8(w));
  }
  if (run.instance) {
    int pin = 0;
    for (const PinDescriptor* p = node.record->outputs; p && p->name; ++p, ++pin) {
      card.body += pinHtml(run.instance->outputs[static_cast<std::size_t>(pin)],
                           "output " + std::to_string(pin) + " \"" + toUtf8(p->name) + "\"");
    }
  }
  return card;
}

std::string sheet(const std::vector<Card>& cards, const std::string& pluginPath, const std::string& summary) {
  std::string html = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>RasterKit demo</title>
<style>
body { font-family: system-ui, sans-serif; margin: 1.5em; background: #f4f4f1; color: #222; }
h1 { margin: 0 0 .2em; } .lead { color: #555; margin: 0 0 1.2em; }
.grid { display: grid; grid-template-columns: repeat(auto-fill, minmax(290px, 1fr)); gap: 14px; }
.card { background: #fff; border-radius: 8px; padding: 10px 12px; box-shadow: 0 1px 3px #0002; }
.card h2 { font-size: 1.05em; margin: 0; } .proc { color: #555; font-size: .9em; margin: .1em 0 .4em; }
.skipped { opacity: .6; } .failed { outline: 2px solid #c33; }
img { image-rendering: pixelated; display: block; margin: 6px 0 2px; max-width: 100%; height: auto;
      background: repeating-conic-gradient(#ddd 0 25%, #fff 0 50%) 0 0/12px 12px; }
.caption, .note, .params, .files { font-size: .8em; margin: 2px 0; color: #444; }
.warn { font-size: .85em; color: #8a5a00; background: #fff4d6; padding: 3px 6px; border-radius: 4px; margin: 4px 0; }
.err { font-size: .85em; color: #a11; background: #fde4e4; padding: 3px 6px; border-radius: 4px; margin: 4px 0; }
.skip { font-size: .85em; color: #555; font-style: italic; margin: 4px 0; }
code { font-size: .95em; }
</style></head><body>
<h1>RasterKit demo</h1>
)";
  html += "<p class=lead>" + escape(summary) + "<br>Plug-in: <code>" + escape(pluginPath) +
          "</code>. The graph is <code>demo-graph.json</code>; run it again with <code>kxrun graph "
          "demo-graph.json</code>. Pictures of types other than uint8 are stretched from their smallest to their "
          "largest value.</p>\n<div class=grid>\n";
  for (const Card& c : cards) {
    html += "<div class=\"card " + c.status + "\"><h2>" + escape(c.name) + "</h2><p class=proc>" + escape(c.processor) +
            "</p>";
    if (!c.params.empty()) {
      std::string params;
      for (const std::string& p : c.params) params += (params.empty() ? "" : "; ") + p;
      html += "<p class=params>" + escape(params) + "</p>";
    }
    if (c.status == "skipped") html += "<p class=skip>skipped: " + escape(c.note) + "</p>";
    if (c.status == "failed") html += "<p class=err>error: " + escape(c.note) + "</p>";
    for (const std::string& w : c.warnings) html += "<p class=warn>warning: " + escape(w) + "</p>";
    html += c.body;
    if (!c.files.empty()) {
      std::string files;
      for (const std::string& f : c.files) files += (files.empty() ? "" : ", ") + fs::path(f).filename().string();
      html += "<p class=files>written: " + escape(files) + "</p>";
    }
    html += "</div>\n";
  }
  html += "</div>\n</body></html>\n";
  return html;
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

  std::vector<Card> cards;
  int ran = 0, failed = 0, skipped = 0, processors = 0;
  std::vector<std::string> missing;
  int status = graph.run([&](const NodeRun& run) {
    cards.push_back(cardFor(run));
    if (run.node.isSource) return;
    ++processors;
    if (run.status == NodeRun::Ran) ++ran;
    if (run.status == NodeRun::Failed) ++failed;
    if (run.status == NodeRun::Skipped) {
      ++skipped;
      if (!run.node.missing.empty() && std::find(missing.begin(), missing.end(), run.node.missing) == missing.end()) {
        missing.push_back(run.node.missing);
      }
    }
  });

  std::string summary = std::to_string(ran) + " of " + std::to_string(processors) + " processor nodes ran";
  if (failed) summary += ", " + std::to_string(failed) + " failed";
  if (skipped) summary += ", " + std::to_string(skipped) + " were skipped";
  summary += ".";
  if (!missing.empty()) {
    std::string list;
    for (const std::string& m : missing) list += (list.empty() ? "" : ", ") + toUtf8(m);
    summary += " This build of the plug-in does not export " + list + " yet.";
  }
  OutputFile index(dir / "index.html");
  writeText(index, sheet(cards, plugin.path(), summary));

  std::printf("kxrun demo: %s\ncontact sheet: %s\n", summary.c_str(), (dir / "index.html").string().c_str());
  return status;
}

}  // namespace kxrun
