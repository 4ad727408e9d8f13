// The JSON report of a run, in the order a reader expects: result first, then the pins.
#include "Report.h"

#include "Text.h"

namespace kxrun {
namespace {

Json matrixReport(const kxMInfo& info, bool withCount) {
  Json m;
  m["name"] = toUtf8(info.Name.c_str());
  m["x"] = info.X;
  m["y"] = info.Y;
  m["planes"] = info.Planes;
  if (withCount) m["count"] = info.Count;
  return m;
}

}  // namespace

Json streamReport(const kxhost::Pin& pin, bool output) {
  Json p;
  p["type"] = pin.type;
  p["connected"] = pin.connected;
  if (output) p["meta"] = pin.stream.metaSet ? matrixReport(pin.stream.meta, true) : Json(nullptr);
  Json matrices = Json::array();
  for (const auto& m : pin.stream.matrices) matrices.push_back(matrixReport(m->info(), output));
  p["matrices"] = std::move(matrices);
  return p;
}

Json runReport(const kxhost::Instance& instance, const kxhost::RunResult& result) {
  Json r;
  r["entry"] = toUtf8(instance.record()->entry);
  r["result"] = result.completed ? Json(result.returned) : Json(nullptr);
  r["error"] = result.completed ? Json(nullptr) : Json(toUtf8(result.error));
  Json warnings = Json::array();
  for (const std::string& w : result.warnings) warnings.push_back(toUtf8(w));
  r["warnings"] = std::move(warnings);
  Json inputs = Json::object();
  for (std::size_t i = 0; i < instance.inputs.size(); ++i) {
    inputs[std::to_string(i)] = streamReport(instance.inputs[i], false);
  }
  r["inputs"] = std::move(inputs);
  Json outputs = Json::object();
  for (std::size_t i = 0; i < instance.outputs.size(); ++i) {
    outputs[std::to_string(i)] = streamReport(instance.outputs[i], true);
  }
  r["outputs"] = std::move(outputs);
  return r;
}

}  // namespace kxrun
