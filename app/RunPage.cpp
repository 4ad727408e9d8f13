// The run page: node cards with pictures (types other than uint8 stretched to their range) and
// a drawing of the graph in SVG of our own, laid out in columns by depth.
//
// The drawing is made here rather than by Graphviz: kxrun then needs no program at run time and
// the demo no extra packages, and data-flow graphs read best as the left-to-right columns of a
// node editor, which a simple layered layout gives.
#include "RunPage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "Text.h"

namespace kxrun {
namespace {

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

std::string number(double v, const char* format = "%.6g") {
  char text[32];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

unsigned char clampByte(double v) { return static_cast<unsigned char>(std::clamp(v, 0.0, 255.0)); }

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

std::string duration(double seconds) {
  return seconds < 1 ? number(seconds * 1000, seconds < 0.01 ? "%.2f ms" : "%.1f ms") : number(seconds, "%.2f s");
}

// Pin labels on the drawing: the name, numbered when a box has several pins on that side.
std::string pinLabel(const PinDescriptor* pins, int pin) {
  int count = 0;
  for (const PinDescriptor* p = pins; p && p->name; ++p) ++count;
  if (!pins || pin >= count) return "";
  std::string name = toUtf8(pins[pin].name);
  return count > 1 ? std::to_string(pin) + " " + name : name;
}

std::string clip(const std::string& text, std::size_t length) {
  return text.size() <= length ? text : text.substr(0, length - 1) + "\xe2\x80\xa6";
}

const char* kStyle = R"(
body { font-family: system-ui, sans-serif; margin: 1.5em; background: #f4f4f1; color: #222; }
h1 { margin: 0 0 .2em; } .lead { color: #555; margin: 0 0 1em; } .problem { color: #a11; font-weight: bold; }
.graph { background: #fff; border-radius: 8px; padding: 8px; box-shadow: 0 1px 3px #0002; margin-bottom: 16px;
         overflow-x: auto; }
.graph svg { display: block; max-width: 100%; height: auto; font-size: 12px; }
.graph a { text-decoration: none; } .graph a:hover rect { stroke-width: 3; }
.box { fill: #fff; stroke: #4a7a58; stroke-width: 1.5; } .box.source { fill: #eef4fb; stroke: #5a86b8; }
.box.failed { fill: #fde4e4; stroke: #c33; stroke-width: 2.5; }
.box.not-run, .box.skipped { fill: #eee; stroke: #999; stroke-dasharray: 5 3; }
.box.downstream { fill: #f8eded; stroke: #c77; stroke-dasharray: 5 3; }
.name { font-weight: bold; font-size: 13px; fill: #222; } .line { fill: #444; } .status { fill: #4a7a58; }
.status.failed { fill: #b22; font-weight: bold; } .status.not-run, .status.skipped { fill: #777; }
.status.downstream { fill: #a55; }
.warned { fill: #8a5a00; } .pinname { fill: #667; font-size: 10px; }
.edge { fill: none; stroke: #778; stroke-width: 1.4; } .edge.cut { stroke: #c33; stroke-dasharray: 5 3; }
.grid { display: grid; grid-template-columns: repeat(auto-fill, minmax(290px, 1fr)); gap: 14px; }
.card { background: #fff; border-radius: 8px; padding: 10px 12px; box-shadow: 0 1px 3px #0002; }
.card h2 { font-size: 1.05em; margin: 0; } .proc { color: #555; font-size: .9em; margin: .1em 0 .4em; }
.card.not-run, .card.skipped, .card.downstream { opacity: .6; } .card.failed { outline: 2px solid #c33; }
img { image-rendering: pixelated; display: block; margin: 6px 0 2px; max-width: 100%; height: auto;
      background: repeating-conic-gradient(#ddd 0 25%, #fff 0 50%) 0 0/12px 12px; }
.caption, .note, .params, .files, .time { font-size: .8em; margin: 2px 0; color: #444; }
.warn { font-size: .85em; color: #8a5a00; background: #fff4d6; padding: 3px 6px; border-radius: 4px; margin: 4px 0; }
.err { font-size: .85em; color: #a11; background: #fde4e4; padding: 3px 6px; border-radius: 4px; margin: 4px 0; }
.skip { font-size: .85em; color: #555; font-style: italic; margin: 4px 0; }
code { font-size: .95em; }
)";

// The page says when it could not show everything: pictures that did not load, script errors.
// The counts also stand on the root element, where a headless browser's DOM dump shows them.
const char* kCheck = R"(
var problems = 0;
addEventListener('error', function (e) { if (!(e.target instanceof HTMLImageElement)) ++problems; }, true);
addEventListener('load', function () {
  var images = document.images, shown = 0;
  for (var i = 0; i < images.length; ++i) if (images[i].complete && images[i].naturalWidth > 0) ++shown;
  var root = document.documentElement;
  root.setAttribute('data-images', shown + '/' + images.length);
  root.setAttribute('data-script-errors', problems);
  if (shown < images.length || problems)
    document.getElementById('problem').textContent = (images.length - shown) + ' of ' + images.length +
        ' pictures could not be shown; ' + problems + ' script errors.';
});
)";

}  // namespace

void RunPage::observe(const NodeRun& run) {
  const std::size_t index = static_cast<std::size_t>(&run.node - graph_->nodes().data());
  const GraphNode& node = run.node;
  Card card;
  card.status = run.status == NodeRun::Ran ? "ran" : run.status == NodeRun::Failed ? "failed" : "skipped";
  card.note = run.note;
  card.files = run.written;
  if (run.instance) card.time = duration(run.seconds);
  if (node.isSource) {
    card.processor = "file " + node.file.filename().string();
    card.body = pinHtml(node.source, "stream");
  } else {
    card.processor = toUtf8(node.record->entry) + " (\"" + toUtf8(node.record->displayName) + "\")";
    for (const ParameterDescriptor* p = node.record->params; p && p->name; ++p) {
      std::string name = toUtf8(p->name), value = toUtf8(p->defaultText) + " (default)";
      for (const auto& [given, text] : node.paramTexts) {
        if (given == name) value = text;
      }
      card.params.push_back(name + " = " + value);
    }
    for (const auto& [given, text] : node.paramTexts) card.given.push_back(given + " = " + text);
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
  }
  cards_[index] = std::move(card);
  runOrder_.push_back(index);
}

// A node the run did not reach, or skipped: downstream of a failed node, or after the graph stopped.
RunPage::Card RunPage::cardOf(std::size_t index) const {
  const GraphNode& node = graph_->nodes()[index];
  Card card;
  if (cards_[index]) {
    card = *cards_[index];
    if (card.status != "skipped") return card;
  } else {
    card.status = "not-run";
    card.processor = node.isSource ? "file " + node.file.filename().string() : toUtf8(node.record->entry);
    for (const auto& [given, text] : node.paramTexts) card.given.push_back(given + " = " + text);
    card.params = card.given;
    card.note = "the graph stopped before it";
  }
  for (const auto& link : node.inputs) {
    if (!link) continue;
    const Card producer = cardOf(link->node);
    if (producer.status == "failed" || producer.status == "downstream") {
      card.status = "downstream";
      card.cause = producer.status == "failed" ? graph_->nodes()[link->node].name : producer.cause;
      card.note = "node '" + card.cause + "' failed before it";
      break;
    }
  }
  return card;
}

std::string RunPage::summary() const {
  int processors = 0, ran = 0, failed = 0, notRun = 0;
  std::string failure;
  const auto& nodes = graph_->nodes();
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].isSource) continue;
    ++processors;
    const Card card = cardOf(i);
    ran += card.status == "ran";
    notRun += card.status == "not-run" || card.status == "skipped" || card.status == "downstream";
    if (card.status == "failed" && ++failed == 1) failure = "Node '" + nodes[i].name + "' failed: " + card.note;
  }
  std::string text = std::to_string(ran) + " of " + std::to_string(processors) + " processor nodes ran";
  if (notRun) text += ", " + std::to_string(notRun) + " did not run";
  text += ".";
  if (failed > 1) text += " " + std::to_string(failed) + " failed, the first:";
  return failed ? text + " " + failure : text;
}

std::string RunPage::drawing() const {
  const auto& nodes = graph_->nodes();
  const std::size_t n = nodes.size();
  // Columns by depth: a node stands right of everything it reads.
  std::vector<int> column(n, 0);
  for (std::size_t pass = 0; pass < n; ++pass) {
    for (std::size_t i = 0; i < n; ++i) {
      for (const auto& link : nodes[i].inputs) {
        if (link) column[i] = std::max(column[i], column[link->node] + 1);
      }
    }
  }
  constexpr double kBoxW = 210, kGapX = 150, kGapY = 22, kLine = 15, kMargin = 12;
  std::vector<Card> cards;
  std::vector<double> x(n), y(n), h(n);
  for (std::size_t i = 0; i < n; ++i) {
    cards.push_back(cardOf(i));
    const double pins = std::max<double>(static_cast<double>(nodes[i].inputs.size()), nodes[i].outputCount());
    h[i] =
        std::max(26 + kLine * (2.0 + static_cast<double>(cards[i].given.size()) + (cards[i].warnings.empty() ? 0 : 1)),
                 16 * (pins + 1));
  }
  // Each column in the order of the mean height of what feeds it, which keeps arrows short.
  const int columns = n ? *std::max_element(column.begin(), column.end()) + 1 : 0;
  std::vector<std::vector<std::size_t>> stacks(static_cast<std::size_t>(columns));
  std::vector<double> height(stacks.size(), 0);
  for (int c = 0; c < columns; ++c) {
    auto& stack = stacks[static_cast<std::size_t>(c)];
    std::vector<double> key;
    for (std::size_t i = 0; i < n; ++i) {
      if (column[i] != c) continue;
      double sum = 0, count = 0;
      for (const auto& link : nodes[i].inputs) {
        if (link) sum += y[link->node] + h[link->node] / 2, ++count;
      }
      stack.push_back(i);
      key.push_back(count ? sum / count : static_cast<double>(stack.size()));
    }
    std::vector<std::size_t> by(stack.size());
    for (std::size_t k = 0; k < by.size(); ++k) by[k] = k;
    std::stable_sort(by.begin(), by.end(), [&](std::size_t a, std::size_t b) { return key[a] < key[b]; });
    std::vector<std::size_t> sorted;
    double top = 0;
    for (std::size_t k : by) {
      const std::size_t i = stack[k];
      sorted.push_back(i);
      x[i] = kMargin + c * (kBoxW + kGapX);
      y[i] = top;
      top += h[i] + kGapY;
    }
    stack = sorted;
    height[static_cast<std::size_t>(c)] = top - kGapY;
  }
  const double total = columns ? *std::max_element(height.begin(), height.end()) : 0;
  for (int c = 0; c < columns; ++c) {
    for (std::size_t i : stacks[static_cast<std::size_t>(c)])
      y[i] += kMargin + (total - height[static_cast<std::size_t>(c)]) / 2;
  }
  const double width = kMargin * 2 + columns * kBoxW + std::max(0, columns - 1) * kGapX;
  auto pinY = [&](std::size_t i, int pin, int count) { return y[i] + h[i] * (pin + 1) / (count + 1); };

  std::string svg =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + number(width, "%.0f") + " " +
      number(total + 2 * kMargin, "%.0f") + "\" width=\"" + number(width, "%.0f") + "\">\n" +
      "<defs><marker id=\"arrow\" viewBox=\"0 0 10 10\" refX=\"10\" refY=\"5\" markerWidth=\"7\" "
      "markerHeight=\"7\" orient=\"auto\"><path d=\"M0,0 L10,5 L0,10 z\" fill=\"#778\"/></marker></defs>\n";
  std::string labels;
  std::map<std::pair<std::size_t, int>, bool> outLabelled;
  for (std::size_t i = 0; i < n; ++i) {
    const GraphNode& node = nodes[i];
    const int inputs = static_cast<int>(node.inputs.size());
    for (int pin = 0; pin < inputs; ++pin) {
      const auto& link = node.inputs[static_cast<std::size_t>(pin)];
      if (!link) continue;
      const std::size_t from = link->node;
      const int outs = nodes[from].outputCount();
      const double x1 = x[from] + kBoxW, y1 = pinY(from, link->pin, outs), x2 = x[i], y2 = pinY(i, pin, inputs);
      const double bend = std::max(40.0, (x2 - x1) / 2);
      const bool cut = cards[from].status != "ran";
      svg += "<path class=\"edge" + std::string(cut ? " cut" : "") + "\" marker-end=\"url(#arrow)\" d=\"M" +
             number(x1) + "," + number(y1) + " C" + number(x1 + bend) + "," + number(y1) + " " + number(x2 - bend) +
             "," + number(y2) + " " + number(x2) + "," + number(y2) + "\"/>\n";
      labels += "<text class=pinname x=\"" + number(x2 - 6) + "\" y=\"" + number(y2 - 4) + "\" text-anchor=\"end\">" +
                escape(pinLabel(node.record->inputs, pin)) + "</text>\n";
      if (!nodes[from].isSource && !outLabelled[{from, link->pin}]) {
        outLabelled[{from, link->pin}] = true;
        labels += "<text class=pinname x=\"" + number(x1 + 6) + "\" y=\"" + number(y1 - 4) + "\">" +
                  escape(pinLabel(nodes[from].record->outputs, link->pin)) + "</text>\n";
      }
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const Card& card = cards[i];
    const std::string kind = nodes[i].isSource && card.status == "ran" ? "source" : card.status;
    svg += "<a href=\"#node-" + escape(nodes[i].name) + "\"><g class=\"node\"><title>" + escape(nodes[i].name) +
           "</title><rect class=\"box " + kind + "\" x=\"" + number(x[i]) + "\" y=\"" + number(y[i]) + "\" width=\"" +
           number(kBoxW) + "\" height=\"" + number(h[i]) + "\" rx=\"6\"/>";
    double line = y[i] + 20;
    auto text = [&](const std::string& cls, const std::string& value) {
      svg += "<text class=\"" + cls + "\" x=\"" + number(x[i] + 10) + "\" y=\"" + number(line) + "\">" +
             escape(clip(value, 34)) + "</text>";
      line += kLine;
    };
    text("name", nodes[i].name);
    line += 2;
    text("line", card.processor);
    for (const std::string& p : card.given) text("line", p);
    const std::string status = card.status == "ran"       ? (card.time.empty() ? "read" : "ran in " + card.time)
                               : card.status == "failed"  ? "failed" + (card.time.empty() ? "" : " after " + card.time)
                               : card.status == "skipped" ? "skipped"
                               : card.status == "downstream" ? "not run: after " + card.cause
                                                             : "not run: the graph stopped";
    text("status " + card.status, status);
    if (!card.warnings.empty()) {
      text("warned", std::to_string(card.warnings.size()) + (card.warnings.size() > 1 ? " warnings" : " warning"));
    }
    svg += "</g></a>\n";
  }
  return svg + labels + "</svg>";
}

std::string RunPage::html(const std::string& title, const std::string& lead) const {
  std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + escape(title) +
                     "</title>\n<style>" + kStyle + "</style>\n<script>" + kCheck + "</script></head><body>\n<h1>" +
                     escape(title) + "</h1>\n<p class=lead>" + escape(lead) +
                     " Pictures of types other than uint8 are stretched from their smallest to their largest value."
                     "</p><p class=problem id=problem></p>\n<div class=graph>\n" +
                     drawing() + "\n</div>\n<div class=grid>\n";
  std::vector<std::size_t> order = runOrder_;
  for (std::size_t i = 0; i < cards_.size(); ++i) {
    if (!cards_[i]) order.push_back(i);
  }
  for (std::size_t i : order) {
    const Card c = cardOf(i);
    html += "<div class=\"card " + c.status + "\" id=\"node-" + escape(graph_->nodes()[i].name) + "\"><h2>" +
            escape(graph_->nodes()[i].name) + "</h2><p class=proc>" + escape(c.processor) + "</p>";
    if (!c.params.empty()) {
      std::string params;
      for (const std::string& p : c.params) params += (params.empty() ? "" : "; ") + p;
      html += "<p class=params>" + escape(params) + "</p>";
    }
    if (c.status != "ran" && c.status != "failed") {
      html +=
          "<p class=skip>" + std::string(c.status == "skipped" ? "skipped: " : "not run: ") + escape(c.note) + "</p>";
    }
    if (c.status == "failed") html += "<p class=err>error: " + escape(c.note) + "</p>";
    for (const std::string& w : c.warnings) html += "<p class=warn>warning: " + escape(w) + "</p>";
    if (!c.time.empty()) html += "<p class=time>time: " + escape(c.time) + "</p>";
    html += c.body;
    if (!c.files.empty()) {
      std::string files;
      for (const std::string& f : c.files) files += (files.empty() ? "" : ", ") + fs::path(f).filename().string();
      html += "<p class=files>written: " + escape(files) + "</p>";
    }
    html += "</div>\n";
  }
  return html + "</div>\n</body></html>\n";
}

}  // namespace kxrun
