// Graphs of processor instances written in JSON: read and checked as a whole before anything
// runs, then run node by node in dependency order.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Files.h"
#include "Report.h"
#include "kxhost/Plugin.h"
#include "kxhost/Runtime.h"

namespace kxrun {

struct GraphOptions {
  bool progress = false;  // "[i/n] node" lines on stderr
  // The demo's policy: a node whose processor is not built, or that needs a node that did not
  // run, is skipped with a note, and a failing node does not stop the others.
  bool keepGoing = false;
  std::vector<std::string> paramFiles;  // NODE=FILE.json parameter files
  std::vector<std::string> sets;        // NODE.PARAM=VALUE overrides, applied after the files
  // Streams given by a program for file nodes, by node name, taken instead of reading the files.
  std::map<std::string, std::shared_ptr<kxhost::Pin>> sources;
  // Every output pin of every node is connected and kept after the run, for a program that wants
  // them all (nodes linked to several others then take copies).
  bool keepOutputs = false;
  bool quiet = false;  // warnings and errors go to the report only, not to stderr
  // The ceilings of the processor runs, when not those of the process (hostLimits()), so that
  // graphs run in several threads need not share one setting.
  std::optional<kxhost::Limits> limits;
};

struct Link {
  std::size_t node;
  int pin;
};

struct GraphNode {
  std::string name;
  // A file source: its stream stands on its one output pin.
  bool isSource = false;
  fs::path file;
  std::optional<kxType> fileType;
  kxhost::Pin source;
  // A processor instance.
  const ProcessorDescriptor* record = nullptr;
  std::vector<std::optional<Link>> inputs;
  std::vector<std::optional<kxType>> inTypes, outTypes;
  std::vector<std::pair<int, tagVARIANT>> params;
  std::vector<std::pair<std::string, std::string>> paramTexts;  // as written, for people (UTF-8)
  std::vector<std::optional<fs::path>> writes;
  std::vector<std::unique_ptr<OutputFile>> files;
  std::vector<int> consumers;  // per output pin: links still to be served
  std::string missing;         // the entry the plug-in lacks (keepGoing only)
  // After the run.
  std::vector<kxhost::Pin> outputs;
  bool ran = false;

  int outputCount() const;
};

// What an observer learns after each node, in run order.
struct NodeRun {
  enum Status { Ran, Failed, Skipped };
  const GraphNode& node;
  Status status;
  std::string note;                            // why it was skipped or failed (UTF-8)
  const kxhost::Instance* instance = nullptr;  // processor nodes that ran
  const kxhost::RunResult* result = nullptr;
  std::vector<std::string> written;  // files written, as named in the graph
  double seconds = 0;                // the processor's run
};

class Graph {
public:
  // Reads and checks a graph file; relative paths in it are relative to its directory.
  static Graph fromFile(const kxhost::Plugin& plugin, const fs::path& file, const GraphOptions& options);
  // Checks a parsed graph; `baseDir` anchors its relative paths, `source` names it in messages.
  Graph(const kxhost::Plugin& plugin, const Json& doc, fs::path baseDir, std::string source,
        const GraphOptions& options);
  Graph(Graph&&) noexcept = default;

  // Runs the nodes in dependency order; returns the exit status (0, 1 after an exception, 2 when
  // an output cannot be written).
  int run(const std::function<void(const NodeRun&)>& observer = {});

  // {"graph", "completed", "error", "nodes": [run reports with "node"]}.
  const Json& report() const { return report_; }
  const std::vector<GraphNode>& nodes() const { return nodes_; }
  std::vector<GraphNode>& nodes() { return nodes_; }

private:
  [[noreturn]] void fail(const GraphNode* node, const std::string& field, const std::string& text) const;
  void readNode(GraphNode& node, const Json& value);
  void readProcessor(GraphNode& node, const Json& value);
  void readLinks(GraphNode& node, const Json& value);
  void applySet(const std::string& set);
  void applyParamFile(const std::string& option);
  void order();
  void prepareFiles();
  kxhost::Stream take(const Link& link);

  const kxhost::Plugin* plugin_;
  fs::path baseDir_;
  std::string source_;
  GraphOptions options_;
  std::vector<GraphNode> nodes_;
  std::vector<std::size_t> order_;
  Json report_;
};

// Parses JSON text with comments allowed and repeated keys refused; a UsageError names `source`.
Json parseJson(const std::string& text, const std::string& source);

}  // namespace kxrun
