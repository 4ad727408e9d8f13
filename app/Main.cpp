// kxrun: the command-line host that loads the RasterKit plug-in, shows its catalogue, and runs
// one processor instance or a whole graph of them on image files.
#include <unistd.h>
#if defined(KXRUN_CONFIGURE_MODULE)
#include <dlfcn.h>
#endif

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Configure.h"
#include "Demo.h"
#include "Files.h"
#include "Graph.h"
#include "Limits.h"
#include "Params.h"
#include "Report.h"
#include "RunPage.h"
#include "Streams.h"
#include "Text.h"
#include "kxhost/Plugin.h"

namespace kxrun {
namespace {

// The plug-in: KX_PLUGIN when set, else the one beside this program or in its parent directory
// (how the build tree and an installed layout place it), else the path compiled in.
std::string pluginPath() {
  if (const char* env = std::getenv("KX_PLUGIN"); env && *env) return env;
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    for (const fs::path& dir : {exe.parent_path(), exe.parent_path().parent_path()}) {
      fs::path candidate = dir / "libRasterKit.so";
      if (fs::exists(candidate, ec)) return candidate.string();
    }
  }
  return kxhost::Plugin::defaultPath();
}

#if defined(KXRUN_CONFIGURE_MODULE)
// `kxrun configure` through the module beside this program that holds the dialogs' window backend.
int configureThroughModule(const kxhost::Plugin& plugin, const ConfigureArgs& args) {
  std::error_code ec;
  const fs::path module = fs::read_symlink("/proc/self/exe", ec).parent_path() / KXRUN_CONFIGURE_MODULE;
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  void* entry = handle ? dlsym(handle, "kxrunConfigure") : nullptr;
  if (!entry) {
    const char* why = dlerror();
    throw UsageError("cannot show dialogs: " + (why ? std::string(why) : module.string() + " is incomplete"));
  }
  // The module stays loaded until exit: its dialogs' code may still be referenced by static objects.
  return reinterpret_cast<int (*)(const kxhost::Plugin&, const ConfigureArgs&)>(entry)(plugin, args);
}
#endif

int pinCount(const PinDescriptor* pins) {
  int n = 0;
  for (const PinDescriptor* p = pins; p && p->name; ++p) ++n;
  return n;
}

const ProcessorDescriptor* findProcessor(const kxhost::Plugin& plugin, const std::string& name) {
  const ProcessorDescriptor* record = plugin.find(toLatin1(name));
  if (!record) throw UsageError("unknown processor '" + name + "' (kxrun list shows the catalogue)");
  return record;
}

std::string pinsText(int n, const char* side) {
  return n == 0
             ? std::string("no ") + side + " pins"
             : std::to_string(n) + " " + side + " pin" + (n == 1 ? " (0)" : "s (0 to " + std::to_string(n - 1) + ")");
}

// ---- list and info -------------------------------------------------------------------------------

int cmdList(const kxhost::Plugin& plugin) {
  std::size_t entryWidth = 0, nameWidth = 0;
  for (const ProcessorDescriptor* r : plugin.records()) {
    entryWidth = std::max(entryWidth, toUtf8(r->entry).size());
    nameWidth = std::max(nameWidth, toUtf8(r->displayName).size());
  }
  std::vector<std::string> missing;
  for (const ProcessorDescriptor* r : plugin.records()) {
    std::string entry = toUtf8(r->entry), name = toUtf8(r->displayName);
    std::printf("%-*s  %-*s  %s\n", static_cast<int>(entryWidth), entry.c_str(), static_cast<int>(nameWidth),
                name.c_str(), toUtf8(r->category).c_str());
    if (!plugin.entry(r)) missing.push_back(entry);
  }
  if (!missing.empty()) {
    std::string list;
    for (const std::string& m : missing) list += (list.empty() ? "" : ", ") + m;
    std::fprintf(stderr, "note: this build of the plug-in does not export %zu of the %zu processors yet: %s\n",
                 missing.size(), plugin.records().size(), list.c_str());
  }
  return 0;
}

void printPins(const char* title, const PinDescriptor* pins) {
  std::printf("%s:", title);
  if (pinCount(pins) == 0) {
    std::printf(" none\n");
    return;
  }
  std::printf("\n");
  int i = 0;
  for (const PinDescriptor* p = pins; p && p->name; ++p, ++i) {
    std::printf("  %d  \"%s\"  %s  types: %s  default: %s\n", i, toUtf8(p->name).c_str(),
                p->required ? "required" : "optional", maskNames(p->typeMask).c_str(),
                typeName(static_cast<kxType>(p->defaultType)).c_str());
  }
}

int cmdInfo(const kxhost::Plugin& plugin, const std::string& name) {
  const ProcessorDescriptor* r = findProcessor(plugin, name);
  std::printf("%s  \"%s\"\n", toUtf8(r->entry).c_str(), toUtf8(r->displayName).c_str());
  std::printf("  category: %s\n", toUtf8(r->category).c_str());
  std::printf("  GUID:     %s\n", r->guid);
  std::printf("  dialog:   %s\n", r->dialog && r->dialog->function ? r->dialog->function : "none");
  if (!plugin.entry(r)) std::printf("  note:     this build of the plug-in does not export %s yet\n", r->entry);
  printPins("input pins", r->inputs);
  printPins("output pins", r->outputs);
  std::printf("parameters:");
  if (!r->params || !r->params->name) std::printf(" none");
  std::printf("\n");
  std::size_t width = 0;
  for (const ParameterDescriptor* p = r->params; p && p->name; ++p) width = std::max(width, toUtf8(p->name).size());
  for (const ParameterDescriptor* p = r->params; p && p->name; ++p) {
    std::printf("  %-*s  %-7s  default: %s\n", static_cast<int>(width), toUtf8(p->name).c_str(),
                p->type == 2 ? "int32" : "float64", toUtf8(p->defaultText).c_str());
  }
  return 0;
}

// ---- run -----------------------------------------------------------------------------------------

struct RunArgs {
  std::string entry;
  std::vector<std::string> ins, inTypes, outs, outTypes, params;
  std::string paramFile, report;
};

// "N=VALUE" options by pin index, each pin at most once and within the processor's pins.
std::map<int, std::string> byPin(const std::vector<std::string>& args, const char* option, int pins, const char* side,
                                 const ProcessorDescriptor* r) {
  std::map<int, std::string> out;
  for (const std::string& a : args) {
    Indexed ix = parseIndexed(a, option);
    if (ix.index >= pins) {
      throw UsageError(std::string(option) + " " + a + ": " + r->entry + " has " + pinsText(pins, side));
    }
    if (!out.emplace(ix.index, ix.value).second) {
      throw UsageError(std::string(option) + " names " + side + " pin " + std::to_string(ix.index) + " twice");
    }
  }
  return out;
}

int cmdRun(const kxhost::Plugin& plugin, const RunArgs& args) {
  const ProcessorDescriptor* r = findProcessor(plugin, args.entry);
  const int inputs = pinCount(r->inputs), outputs = pinCount(r->outputs);
  auto ins = byPin(args.ins, "--in", inputs, "input", r);
  auto inTypes = byPin(args.inTypes, "--in-type", inputs, "input", r);
  auto outs = byPin(args.outs, "--out", outputs, "output", r);
  auto outTypes = byPin(args.outTypes, "--out-type", outputs, "output", r);
  std::map<int, kxType> inTypeCodes, outTypeCodes;
  for (const auto& [pin, text] : inTypes) inTypeCodes[pin] = parseType(text, "--in-type " + std::to_string(pin));
  for (const auto& [pin, text] : outTypes) outTypeCodes[pin] = parseType(text, "--out-type " + std::to_string(pin));

  kxhost::Instance inst = plugin.instantiate(r);
  inst.limits = hostLimits();
  if (!args.paramFile.empty()) {
    for (const auto& [index, value] : readParamFile(r, args.paramFile))
      inst.params[static_cast<std::size_t>(index)] = value;
  }
  for (const std::string& p : args.params) {
    std::size_t eq = p.find('=');
    if (eq == std::string::npos || eq == 0) throw UsageError("--param '" + p + "': expected NAME=VALUE");
    std::string name = p.substr(0, eq), value = p.substr(eq + 1);
    int index = paramIndex(r, name);
    if (index < 0) {
      throw UsageError("--param " + p + ": " + r->entry + " has no parameter '" + name + "' (" + paramNames(r) + ")");
    }
    try {
      inst.params[static_cast<std::size_t>(index)] = kxhost::parseParameter(r->params[index].type, value);
    } catch (const std::invalid_argument& e) {
      throw UsageError("--param " + p + ": " + e.what());
    }
  }

  // Output files first: an unwritable place or a format that cannot hold the type is found
  // before any input is read.
  std::map<int, std::unique_ptr<OutputFile>> files;
  std::map<std::string, int> targets;
  for (int pin = 0; pin < outputs; ++pin) {
    kxhost::Pin& out = inst.outputs[static_cast<std::size_t>(pin)];
    if (outTypeCodes.count(pin)) out.type = outTypeCodes[pin];
    out.connected = outs.count(pin) > 0;
    if (!out.connected) continue;
    fs::path path = outs[pin];
    checkType(requireFormat(path), out.type, path);
    std::string key = outputKey(path);
    if (targets.count(key)) {
      throw UsageError("--out " + std::to_string(pin) + "=" + outs[pin] + ": output pin " +
                       std::to_string(targets[key]) + " is written there too");
    }
    targets[key] = pin;
    files[pin] = std::make_unique<OutputFile>(path);
  }
  std::unique_ptr<OutputFile> reportFile;
  if (!args.report.empty()) reportFile = std::make_unique<OutputFile>(args.report);

  // Every option is checked before the processor's entry is looked for in the plug-in.
  if (!plugin.entry(r)) {
    throw UsageError("the plug-in " + plugin.path() + " does not export " + r->entry +
                     ": this processor is not part of this build");
  }

  for (int pin = 0; pin < inputs; ++pin) {
    kxhost::Pin& in = inst.inputs[static_cast<std::size_t>(pin)];
    std::optional<kxType> type;
    if (inTypeCodes.count(pin)) type = inTypeCodes[pin];
    if (ins.count(pin)) {
      FileStream file = readStream(ins[pin]);
      for (const std::string& note : file.notes) std::fprintf(stderr, "warning: %s\n", note.c_str());
      in.type = type.value_or(file.type);
      in.stream = convertStream(std::move(file.stream), file.type, in.type);
      in.connected = true;
    } else {
      if (type) in.type = *type;
      in.connected = false;
      if (r->inputs[pin].required) {
        throw UsageError("input pin " + std::to_string(pin) + " (\"" + toUtf8(r->inputs[pin].name) + "\") of " +
                         r->entry + " is required: give --in " + std::to_string(pin) + "=PATH");
      }
    }
  }

  inst.onWarning = [](const std::string& text) { std::fprintf(stderr, "warning: %s\n", toUtf8(text).c_str()); };
  kxhost::RunResult result = inst.run();
  int status = 0;
  if (!result.completed) {
    std::fprintf(stderr, "error: %s\n", toUtf8(result.error).c_str());
    status = 1;
  } else if (!result.refused.empty()) {
    std::fprintf(stderr, "error: %s\n", toUtf8(result.refused).c_str());
    status = 1;
  } else if (result.returned != 1) {
    std::fprintf(stderr, "error: %s returned %d\n", r->entry, result.returned);
    status = 1;
  }

  // The outputs as the host holds them, after an exception too; but a run the host cut short for
  // its size writes nothing, as its outputs lack what was refused, and a failed run writes no file
  // for an output it left without a matrix (the failure is the one error to report).
  if (!result.refused.empty()) files.clear();
  for (auto& [pin, file] : files) {
    const kxhost::Pin& out = inst.outputs[static_cast<std::size_t>(pin)];
    if (status != 0 && out.stream.matrices.empty()) continue;
    try {
      writeStream(requireFormat(file->target()), file->temp(), file->target(), out.type, out.stream);
      file->commit();
    } catch (const UsageError& e) {
      std::fprintf(stderr, "error: %s\n", e.what());
      if (status == 0) status = 2;
    }
  }
  if (reportFile) writeText(*reportFile, runReport(inst, result).dump(2) + "\n");
  return status;
}

// ---- graph ---------------------------------------------------------------------------------------

int cmdGraph(const kxhost::Plugin& plugin, const std::string& file, const GraphOptions& options,
             const std::string& report, const std::string& htmlDir) {
  std::unique_ptr<OutputFile> reportFile, pageFile;
  if (!report.empty()) reportFile = std::make_unique<OutputFile>(report);
  if (!htmlDir.empty()) {
    std::error_code ec;
    fs::create_directories(htmlDir, ec);
    pageFile = std::make_unique<OutputFile>(fs::path(htmlDir) / "index.html");
  }
  Graph graph = Graph::fromFile(plugin, file, options);
  RunPage page(graph);
  int status = graph.run([&](const NodeRun& run) {
    if (pageFile) page.observe(run);
  });
  if (reportFile) writeText(*reportFile, graph.report().dump(2) + "\n");
  if (pageFile) writeText(*pageFile, page.html("kxrun graph " + fs::path(file).filename().string(), page.summary()));
  return status;
}

}  // namespace
}  // namespace kxrun

int main(int argc, char** argv) {
  using namespace kxrun;
  CLI::App app{
      "kxrun: runs RasterKit processors and graphs of them on image files.\n"
      "Streams are read from and written to .npy, .tif/.tiff, .png, .pgm and .ppm files.\n"
      "Element types: uint8, int32, float32, float64, or a code 0 to 255.\n"
      "Exit status: 0 done, 1 the run ended with an exception, 2 a usage or input problem."};
  app.require_subcommand(1);

  app.add_subcommand("list", "The catalogue, one processor a line (entry, display name, category).");

  std::string infoEntry;
  CLI::App* info = app.add_subcommand("info", "One processor: pins, parameters and dialog.");
  info->add_option("ENTRY", infoEntry, "entry name (_AddImage) or display name (AddImage)")->required();

  RunArgs runArgs;
  CLI::App* run = app.add_subcommand("run", "One run of one processor instance.");
  run->add_option("ENTRY", runArgs.entry, "entry name (_AddImage) or display name (AddImage)")->required();
  run->add_option("--in", runArgs.ins,
                  "the stream in PATH lies on input pin N (0-based); a pin without --in is unconnected")
      ->type_name("N=PATH")
      ->allow_extra_args(false);
  run->add_option("--in-type", runArgs.inTypes,
                  "element type of input pin N (default: the file's, else the catalogue's)")
      ->type_name("N=TYPE")
      ->allow_extra_args(false);
  run->add_option("--out", runArgs.outs, "output pin N is connected and its stream written to PATH")
      ->type_name("N=PATH")
      ->allow_extra_args(false);
  run->add_option("--out-type", runArgs.outTypes, "element type of output pin N (default: the catalogue's)")
      ->type_name("N=TYPE")
      ->allow_extra_args(false);
  run->add_option("--param", runArgs.params, "parameter by catalogue name; decimal point or comma")
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
  run->add_option("--params", runArgs.paramFile,
                  "parameter values from a file (kxrun configure writes them); --param overrides them")
      ->type_name("FILE.json");
  run->add_option("--report", runArgs.report, "write a JSON report of the run")->type_name("PATH");
  LimitOptions limitOptions;
  addLimitOptions(*run, limitOptions);

  std::string graphFile, graphReport, graphHtml;
  GraphOptions graphOptions;
  bool progress = false, noProgress = false;
  CLI::App* graph = app.add_subcommand("graph", "Run a graph of processor instances described in a JSON file.");
  graph->add_option("FILE", graphFile, "the graph file")->required();
  graph->add_option("--set", graphOptions.sets, "override a parameter of a node")
      ->type_name("NODE.PARAM=VALUE")
      ->allow_extra_args(false);
  graph
      ->add_option("--params", graphOptions.paramFiles,
                   "parameter values of a node from a parameter file; --set overrides them")
      ->type_name("NODE=FILE.json")
      ->allow_extra_args(false);
  graph->add_option("--report", graphReport, "write a JSON report of the run")->type_name("PATH");
  graph->add_option("--html", graphHtml, "write a page of the run, DIR/index.html: the graph drawn, every output")
      ->type_name("DIR");
  graph->add_flag("--progress", progress, "show progress (default: when stderr is a terminal)");
  graph->add_flag("--no-progress", noProgress, "do not show progress");
  addLimitOptions(*graph, limitOptions);

  std::string demoDir = "kxrun-demo";
  CLI::App* demo = app.add_subcommand("demo", "Run the built-in demo graph and write a contact sheet DIR/index.html.");
  demo->add_option("--out", demoDir, "where the outputs and the contact sheet go")
      ->type_name("DIR")
      ->capture_default_str();

  ConfigureArgs configureArgs;
  CLI::App* configure = app.add_subcommand(
      "configure",
      "Edit parameters in the processor's own dialog: those of a parameter file (kxrun configure ENTRY\n"
      "--params FILE.json), or those of one node of a graph file, in place (kxrun configure GRAPH.json NODE).\n"
      "Values are written only when the dialog ends with OK.");
  configure->add_option("TARGET", configureArgs.target, "entry name (_BinImage), or a graph file with NODE")
      ->required();
  configure->add_option("NODE", configureArgs.node, "the node of the graph file to edit");
  configure
      ->add_option("--params", configureArgs.params,
                   "the parameter file: read when it exists (absent values keep the catalogue defaults), "
                   "written on OK; without it the values go to standard output")
      ->type_name("FILE.json");
  configure
      ->add_option("--script", configureArgs.script,
                   "run the dialog with the actions in FILE instead of a window (see README)")
      ->type_name("FILE");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::fprintf(stderr, "error: %s\nRun with --help for more information.\n", e.what());
    return 2;
  }

  const bool terminal = isatty(STDERR_FILENO) != 0;
  try {
    applyLimitOptions(limitOptions);
    kxhost::Plugin plugin(pluginPath(), /*allowMissing=*/true);
    if (app.got_subcommand("list")) return cmdList(plugin);
    if (app.got_subcommand("info")) return cmdInfo(plugin, infoEntry);
    if (app.got_subcommand("run")) return cmdRun(plugin, runArgs);
    if (app.got_subcommand("graph")) {
      graphOptions.progress = progress || (terminal && !noProgress);
      return cmdGraph(plugin, graphFile, graphOptions, graphReport, graphHtml);
    }
    if (app.got_subcommand("demo")) return runDemo(plugin, demoDir, terminal);
    if (app.got_subcommand("configure")) {
#ifdef KXRUN_CONFIGURE
#if defined(KXRUN_CONFIGURE_MODULE)
      return configureThroughModule(plugin, configureArgs);
#else
      return cmdConfigure(plugin, configureArgs);
#endif
#else
      throw UsageError("this kxrun was built without the UI layer (FLTK), so it cannot show dialogs");
#endif
    }
  } catch (const UsageError& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 2;
  } catch (const kxhost::LoadError& e) {
    std::fprintf(stderr, "error: %s\n", toUtf8(e.what()).c_str());
    return 2;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "error: out of memory\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 2;
  }
  return 2;
}
