// `kxrun configure`: the dialog export of the instance run under the window or the scripted
// backend of the UI layer. Nothing is written unless the dialog ends with OK, and what is written
// takes its name only when complete.
#include "Configure.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "Graph.h"
#include "Params.h"
#include "Text.h"
#include "kxui/Configure.h"
#include "kxui/WindowBackend.h"

namespace kxrun {
namespace {

const ProcessorDescriptor* processorWithDialog(const kxhost::Plugin& plugin, const std::string& name,
                                               const std::string& where) {
  const ProcessorDescriptor* record = plugin.find(toLatin1(name));
  if (!record) throw UsageError(where + "unknown processor '" + name + "' (kxrun list shows the catalogue)");
  if (!record->dialog || !record->dialog->function) {
    throw UsageError(where + std::string(record->entry) +
                     " has no dialog: set its parameters with --param (kxrun run) or --set (kxrun graph)");
  }
  if (!plugin.dialog(record)) {
    throw UsageError("the plug-in " + plugin.path() + " does not export " + record->dialog->function +
                     ": the dialog of " + record->entry + " is not part of this build");
  }
  return record;
}

// Runs the dialog; true when it ended with OK.
bool runDialog(kxhost::Instance& inst, const std::string& script) {
  kxui::ConfigureOutcome outcome;
  if (script.empty()) {
    try {
      outcome = kxui::configureInWindow(inst);
    } catch (const kxui::NoDisplay& e) {
      throw UsageError(std::string(e.what()) + " (--script FILE runs scripted actions instead)");
    }
  } else {
    // What the dialog showed is worth seeing only when the actions did not fit it.
    std::ostringstream transcript;
    try {
      outcome = kxui::configureWithScript(inst, script, &transcript);
    } catch (const kxui::ScriptError& e) {
      std::fprintf(stderr, "%s", transcript.str().c_str());
      throw UsageError(e.what());
    }
  }
  return outcome.accepted();
}

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError(path.string() + ": cannot open");
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int configureEntry(const kxhost::Plugin& plugin, const ConfigureArgs& args) {
  const ProcessorDescriptor* record = processorWithDialog(plugin, args.target, "");
  kxhost::Instance inst = plugin.instantiate(record);
  std::unique_ptr<OutputFile> file;
  if (!args.params.empty()) {
    std::error_code ec;
    if (fs::exists(args.params, ec)) {
      for (const auto& [index, value] : readParamFile(record, args.params)) {
        inst.params[static_cast<std::size_t>(index)] = value;
      }
    }
    file = std::make_unique<OutputFile>(args.params);
  }
  if (!runDialog(inst, args.script)) {
    std::fprintf(stderr, "cancelled: %s\n", file ? (args.params + " left as it was").c_str() : "no values");
    return 0;
  }
  std::string text = paramFileText(record, inst.params);
  if (!file) {
    std::fputs(text.c_str(), stdout);
    return 0;
  }
  writeText(*file, text);
  std::fprintf(stderr, "%s: the values of %s written\n", args.params.c_str(), record->entry);
  return 0;
}

int configureNode(const kxhost::Plugin& plugin, const ConfigureArgs& args) {
  if (!args.params.empty()) {
    throw UsageError("--params names a parameter file of an entry; a graph node keeps its values in the graph");
  }
  const fs::path path = args.target;
  const std::string source = path.string();
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) throw UsageError(source + ": no such graph file");
  const std::string text = readText(path);
  Json doc = parseJson(text, source);
  if (!doc.is_object() || !doc.contains("nodes") || !doc["nodes"].is_object()) {
    throw UsageError(source + ": nodes: missing: it maps node names to nodes");
  }
  if (!doc["nodes"].contains(args.node)) throw UsageError(source + ": there is no node '" + args.node + "'");
  const Json& node = doc["nodes"][args.node];
  const std::string where = source + ": node '" + args.node + "': ";
  if (!node.is_object() || !node.contains("processor") || !node["processor"].is_string()) {
    throw UsageError(where + "it is not a processor node, so it has no parameters to configure");
  }
  const ProcessorDescriptor* record = processorWithDialog(plugin, node["processor"].get<std::string>(), where);
  kxhost::Instance inst = plugin.instantiate(record);
  if (node.contains("params")) {
    for (const auto& [index, value] :
         paramValues(record, node["params"], source + ": node '" + args.node + "': params")) {
      inst.params[static_cast<std::size_t>(index)] = value;
    }
  }
  OutputFile file(path);
  if (!runDialog(inst, args.script)) {
    std::fprintf(stderr, "cancelled: %s left as it was\n", source.c_str());
    return 0;
  }
  writeText(file, replaceNodeParams(text, args.node, paramsJson(record, inst.params), source));
  std::fprintf(stderr, "%s: the values of node '%s' written\n", source.c_str(), args.node.c_str());
  return 0;
}

}  // namespace

int cmdConfigure(const kxhost::Plugin& plugin, const ConfigureArgs& args) {
  return args.node.empty() ? configureEntry(plugin, args) : configureNode(plugin, args);
}

}  // namespace kxrun

// The entry kxrun finds by name where this file is a module of its own (app/CMakeLists.txt).
extern "C" int kxrunConfigure(const kxhost::Plugin& plugin, const kxrun::ConfigureArgs& args) {
  return kxrun::cmdConfigure(plugin, args);
}
