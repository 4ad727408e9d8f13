// Reading, checking and running graphs of processor instances.
#include "Graph.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "Limits.h"
#include "Params.h"
#include "Streams.h"
#include "Text.h"

namespace kxrun {
namespace {

const std::set<std::string> kSourceFields = {"file", "type"};
const std::set<std::string> kProcessorFields = {"processor", "in", "params", "in-type", "out-type", "write"};

std::string fieldList(const std::set<std::string>& fields) {
  std::string s;
  for (const std::string& f : fields) s += (s.empty() ? "" : ", ") + f;
  return s;
}

bool validName(const std::string& name) {
  return !name.empty() &&
         std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isalnum(c) || c == '_' || c == '-'; });
}

int pinCount(const PinDescriptor* pins) {
  int n = 0;
  for (const PinDescriptor* p = pins; p && p->name; ++p) ++n;
  return n;
}

std::string shortText(const Json& v) {
  std::string s = v.dump();
  return s.size() > 60 ? s.substr(0, 57) + "..." : s;
}

}  // namespace

int GraphNode::outputCount() const { return isSource ? 1 : pinCount(record->outputs); }

Json parseJson(const std::string& text, const std::string& source) {
  std::vector<std::set<std::string>> keys;
  std::string duplicate;
  auto callback = [&](int, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::object_start) keys.emplace_back();
    if (event == Json::parse_event_t::object_end && !keys.empty()) keys.pop_back();
    if (event == Json::parse_event_t::key && !keys.empty() && !keys.back().insert(parsed.get<std::string>()).second &&
        duplicate.empty()) {
      duplicate = parsed.get<std::string>();
    }
    return true;
  };
  Json doc;
  try {
    doc = Json::parse(text, callback, true, true);
  } catch (const Json::exception& e) {
    // Syntax errors, and numbers beyond a double's range ("1e600"), which the reader reports as
    // out of range rather than as a syntax error.
    std::string what = e.what();
    std::size_t cut = what.find("] ");
    throw UsageError(source + ": " + (cut == std::string::npos ? what : what.substr(cut + 2)));
  }
  if (!duplicate.empty()) throw UsageError(source + ": the key \"" + duplicate + "\" appears twice in one object");
  return doc;
}

Graph Graph::fromFile(const kxhost::Plugin& plugin, const fs::path& file, const GraphOptions& options) {
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) throw UsageError(file.string() + ": no such graph file");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw UsageError(file.string() + ": cannot open");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Json doc = parseJson(text, file.string());
  fs::path base = file.parent_path();
  return Graph(plugin, doc, base.empty() ? fs::path(".") : base, file.string(), options);
}

void Graph::fail(const GraphNode* node, const std::string& field, const std::string& text) const {
  std::string where = source_ + ": ";
  if (node)
    where += "node '" + node->name + "'" + (field.empty() ? "" : ", field \"" + field + "\"") + ": ";
  else if (!field.empty())
    where += "field \"" + field + "\": ";
  throw UsageError(where + text);
}

Graph::Graph(const kxhost::Plugin& plugin, const Json& doc, fs::path baseDir, std::string source,
             const GraphOptions& options)
    : plugin_(&plugin), baseDir_(std::move(baseDir)), source_(std::move(source)), options_(options) {
  if (!doc.is_object()) fail(nullptr, "", "a graph is a JSON object with the field \"nodes\"");
  for (const auto& [key, value] : doc.items()) {
    if (key != "nodes" && key != "description") {
      fail(nullptr, key, "unknown field (a graph has \"nodes\" and an optional \"description\")");
    }
  }
  if (!doc.contains("nodes") || !doc["nodes"].is_object() || doc["nodes"].empty()) {
    fail(nullptr, "nodes", "missing or empty: it maps node names to nodes");
  }
  const Json& nodes = doc["nodes"];
  for (const auto& [name, value] : nodes.items()) {
    GraphNode node;
    node.name = name;
    if (!validName(name)) fail(&node, "", "a node name consists of letters, digits, '_' and '-'");
    if (!value.is_object()) fail(&node, "", "a node is a JSON object");
    node.isSource = value.contains("file");
    if (node.isSource == value.contains("processor")) {
      fail(&node, "", "a node has either \"processor\" (a processor instance) or \"file\" (a stream read from a file)");
    }
    nodes_.push_back(std::move(node));
  }
  std::size_t i = 0;
  for (const auto& [name, value] : nodes.items()) readNode(nodes_[i++], value);
  i = 0;
  for (const auto& [name, value] : nodes.items()) {
    if (!nodes_[i].isSource) readLinks(nodes_[i], value);
    ++i;
  }
  for (const std::string& file : options_.paramFiles) applyParamFile(file);
  for (const std::string& set : options_.sets) applySet(set);
  order();
  // A processor missing from the plug-in is reported after every other check of the graph.
  for (const GraphNode& node : nodes_) {
    if (!node.missing.empty() && !options_.keepGoing) {
      fail(&node, "processor",
           "the plug-in " + plugin_->path() + " does not export " + node.missing +
               ": this processor is not part of this build");
    }
  }
  prepareFiles();
}

void Graph::readNode(GraphNode& node, const Json& value) {
  const std::set<std::string>& allowed = node.isSource ? kSourceFields : kProcessorFields;
  for (const auto& [key, v] : value.items()) {
    if (!allowed.count(key)) fail(&node, key, "unknown field (the fields are " + fieldList(allowed) + ")");
  }
  if (node.isSource) {
    const Json& file = value["file"];
    if (!file.is_string() || file.get<std::string>().empty()) fail(&node, "file", "expected the path of a stream file");
    node.file = baseDir_ / fs::path(file.get<std::string>());
    node.consumers.assign(1, 0);
    if (value.contains("type")) {
      const Json& t = value["type"];
      if (!t.is_string() && !t.is_number_integer()) fail(&node, "type", "expected an element type");
      try {
        node.fileType = parseType(t.is_string() ? t.get<std::string>() : t.dump(), "type");
      } catch (const UsageError& e) {
        fail(&node, "type", e.what());
      }
    }
    return;
  }
  readProcessor(node, value);
}

void Graph::readProcessor(GraphNode& node, const Json& value) {
  const Json& processor = value["processor"];
  if (!processor.is_string()) fail(&node, "processor", "expected an entry name such as \"_AddImage\"");
  node.record = plugin_->find(toLatin1(processor.get<std::string>()));
  if (!node.record) {
    fail(&node, "processor",
         "unknown processor '" + processor.get<std::string>() + "' (kxrun list shows the catalogue)");
  }
  const int inputs = pinCount(node.record->inputs), outputs = pinCount(node.record->outputs);
  node.inputs.resize(static_cast<std::size_t>(inputs));
  node.inTypes.resize(static_cast<std::size_t>(inputs));
  node.outTypes.resize(static_cast<std::size_t>(outputs));
  node.writes.resize(static_cast<std::size_t>(outputs));
  node.consumers.assign(static_cast<std::size_t>(outputs), 0);

  if (value.contains("params")) {
    const Json& params = value["params"];
    if (!params.is_object()) fail(&node, "params", "expected an object of parameter names and values");
    for (const auto& [name, v] : params.items()) {
      std::string field = "params." + name;
      int index = paramIndex(node.record, name);
      if (index < 0) {
        fail(&node, field,
             std::string("unknown parameter of ") + node.record->entry + " (" + paramNames(node.record) + ")");
      }
      std::string text;
      try {
        node.params.emplace_back(index, paramValue(node.record->params[index], v, &text));
      } catch (const UsageError& e) {
        fail(&node, field, e.what());
      }
      node.paramTexts.emplace_back(name, text);
    }
  }

  auto readTypes = [&](const char* field, std::vector<std::optional<kxType>>& types) {
    if (!value.contains(field)) return;
    const Json& v = value[field];
    auto one = [&](const Json& t) -> std::optional<kxType> {
      if (t.is_null()) return std::nullopt;
      if (!t.is_string() && !t.is_number_integer()) fail(&node, field, "expected an element type, or a list of them");
      try {
        return parseType(t.is_string() ? t.get<std::string>() : t.dump(), field);
      } catch (const UsageError& e) {
        fail(&node, field, e.what());
      }
    };
    if (v.is_array()) {
      if (v.size() > types.size()) {
        fail(&node, field,
             std::string(node.record->entry) + " has " + std::to_string(types.size()) + " such pins, the list names " +
                 std::to_string(v.size()));
      }
      for (std::size_t i = 0; i < v.size(); ++i) types[i] = one(v[i]);
    } else {
      std::optional<kxType> t = one(v);
      for (auto& slot : types) slot = t;
    }
  };
  readTypes("in-type", node.inTypes);
  readTypes("out-type", node.outTypes);

  if (value.contains("write")) {
    const Json& v = value["write"];
    std::vector<Json> paths;
    if (v.is_string())
      paths.push_back(v);
    else if (v.is_array())
      paths.assign(v.begin(), v.end());
    else
      fail(&node, "write", "expected a file path for output pin 0, or a list of paths by output pin");
    if (paths.size() > node.writes.size()) {
      fail(&node, "write",
           std::string(node.record->entry) + " has " + std::to_string(node.writes.size()) +
               " output pins, the list names " + std::to_string(paths.size()));
    }
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (paths[i].is_null()) continue;
      if (!paths[i].is_string() || paths[i].get<std::string>().empty()) {
        fail(&node, "write", "expected a file path or null, not " + shortText(paths[i]));
      }
      node.writes[i] = baseDir_ / fs::path(paths[i].get<std::string>());
    }
  }
  if (!plugin_->entry(node.record)) node.missing = node.record->entry;
}

void Graph::readLinks(GraphNode& node, const Json& value) {
  std::vector<Json> links;
  if (value.contains("in")) {
    const Json& v = value["in"];
    if (v.is_string())
      links.push_back(v);
    else if (v.is_array())
      links.assign(v.begin(), v.end());
    else
      fail(&node, "in", "expected \"node\" or \"node.N\", or a list of them by input pin");
  }
  if (links.size() > node.inputs.size()) {
    fail(&node, "in",
         std::string(node.record->entry) + " has " + std::to_string(node.inputs.size()) +
             " input pins, the list names " + std::to_string(links.size()));
  }
  for (std::size_t i = 0; i < links.size(); ++i) {
    if (links[i].is_null()) continue;
    if (!links[i].is_string()) fail(&node, "in", "expected \"node\", \"node.N\" or null, not " + shortText(links[i]));
    std::string text = links[i].get<std::string>();
    std::size_t dot = text.find('.');
    std::string target = text.substr(0, dot);
    int pin = 0;
    if (dot != std::string::npos) {
      std::string digits = text.substr(dot + 1);
      if (digits.empty() || digits.size() > 3 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) {
        fail(&node, "in", "'" + text + "': the output pin after the dot must be a number");
      }
      pin = std::stoi(digits);
    }
    auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](const GraphNode& n) { return n.name == target; });
    if (it == nodes_.end()) fail(&node, "in", "'" + text + "': there is no node '" + target + "'");
    if (pin >= it->outputCount()) {
      fail(&node, "in",
           "'" + text + "': node '" + target + "' has " + std::to_string(it->outputCount()) + " output pin" +
               (it->outputCount() == 1 ? "" : "s"));
    }
    node.inputs[i] = Link{static_cast<std::size_t>(it - nodes_.begin()), pin};
  }
  int index = 0;
  for (const PinDescriptor* p = node.record->inputs; p && p->name; ++p, ++index) {
    if (p->required && !node.inputs[static_cast<std::size_t>(index)]) {
      fail(&node, "in",
           "input pin " + std::to_string(index) + " (\"" + toUtf8(p->name) + "\") of " + node.record->entry +
               " must be linked");
    }
  }
}

namespace {

GraphNode& settableNode(std::vector<GraphNode>& nodes, const std::string& name, const std::string& option,
                        const std::string& source) {
  auto it = std::find_if(nodes.begin(), nodes.end(), [&](const GraphNode& n) { return n.name == name; });
  if (it == nodes.end()) throw UsageError(option + ": " + source + " has no node '" + name + "'");
  if (it->isSource) throw UsageError(option + ": node '" + name + "' reads a file and has no parameters");
  return *it;
}

// Later values replace earlier ones: the graph's own, then parameter files, then --set.
void setParam(GraphNode& node, int index, const tagVARIANT& value, const std::string& text) {
  const std::string name = toUtf8(node.record->params[index].name);
  std::erase_if(node.params, [&](const auto& p) { return p.first == index; });
  std::erase_if(node.paramTexts, [&](const auto& p) { return toLatin1(p.first) == node.record->params[index].name; });
  node.params.emplace_back(index, value);
  node.paramTexts.emplace_back(name, text);
}

}  // namespace

void Graph::applySet(const std::string& set) {
  std::size_t eq = set.find('=');
  std::size_t dot = set.find('.');
  if (eq == std::string::npos || dot == std::string::npos || dot > eq || dot == 0 || dot + 1 == eq) {
    throw UsageError("--set '" + set + "': expected NODE.PARAM=VALUE");
  }
  std::string name = set.substr(0, dot), param = set.substr(dot + 1, eq - dot - 1), text = set.substr(eq + 1);
  GraphNode& node = settableNode(nodes_, name, "--set '" + set + "'", source_);
  int index = paramIndex(node.record, param);
  if (index < 0) {
    throw UsageError("--set '" + set + "': " + node.record->entry + " has no parameter '" + param + "' (" +
                     paramNames(node.record) + ")");
  }
  try {
    setParam(node, index, kxhost::parseParameter(node.record->params[index].type, text), text);
  } catch (const std::invalid_argument& e) {
    throw UsageError("--set '" + set + "': " + e.what());
  }
}

void Graph::applyParamFile(const std::string& option) {
  std::size_t eq = option.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == option.size()) {
    throw UsageError("--params '" + option + "': expected NODE=FILE.json");
  }
  GraphNode& node = settableNode(nodes_, option.substr(0, eq), "--params '" + option + "'", source_);
  for (const auto& [index, value] : readParamFile(node.record, option.substr(eq + 1))) {
    setParam(node, index, value, paramJson(value).dump());
  }
}

void Graph::order() {
  // Kahn's algorithm, taking ready nodes in file order so that runs are reproducible.
  const std::size_t n = nodes_.size();
  std::vector<int> pending(n, 0);
  std::vector<std::vector<std::size_t>> users(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (const auto& link : nodes_[i].inputs) {
      if (!link) continue;
      ++pending[i];
      users[link->node].push_back(i);
    }
  }
  std::set<std::size_t> ready;
  for (std::size_t i = 0; i < n; ++i) {
    if (pending[i] == 0) ready.insert(i);
  }
  while (!ready.empty()) {
    std::size_t i = *ready.begin();
    ready.erase(ready.begin());
    order_.push_back(i);
    for (std::size_t u : users[i]) {
      if (--pending[u] == 0) ready.insert(u);
    }
  }
  if (order_.size() == n) return;
  // Walk back along the links from a node left over until a node repeats: that is the cycle.
  std::size_t start = 0;
  while (pending[start] == 0) ++start;
  std::vector<std::size_t> path;
  std::vector<int> seen(n, -1);
  std::size_t at = start;
  while (seen[at] < 0) {
    seen[at] = static_cast<int>(path.size());
    path.push_back(at);
    for (const auto& link : nodes_[at].inputs) {
      if (link && pending[link->node] > 0) {
        at = link->node;
        break;
      }
    }
  }
  std::string cycle;
  for (std::size_t k = path.size(); k-- > static_cast<std::size_t>(seen[at]);) cycle += nodes_[path[k]].name + " -> ";
  cycle += nodes_[path.back()].name;
  fail(&nodes_[at], "in", "the links form a cycle: " + cycle);
}

void Graph::prepareFiles() {
  // Output pins that feed other nodes are connected, like those written to files.
  for (GraphNode& node : nodes_) {
    for (const auto& link : node.inputs) {
      if (link) ++nodes_[link->node].consumers[static_cast<std::size_t>(link->pin)];
    }
  }
  std::map<std::string, std::string> targets;
  for (GraphNode& node : nodes_) {
    if (node.isSource) continue;
    node.files.resize(node.writes.size());
    for (std::size_t pin = 0; pin < node.writes.size(); ++pin) {
      if (!node.writes[pin]) continue;
      const fs::path& path = *node.writes[pin];
      std::string field = "write";
      try {
        Format format = requireFormat(path);
        kxType type = node.outTypes[pin].value_or(static_cast<kxType>(node.record->outputs[pin].defaultType));
        checkType(format, type, path);
        std::string key = outputKey(path);
        if (targets.count(key)) fail(&node, field, path.string() + " is written by node '" + targets[key] + "' too");
        targets[key] = node.name;
        std::error_code ec;
        if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
        node.files[pin] = std::make_unique<OutputFile>(path);
      } catch (const UsageError& e) {
        fail(&node, field, e.what());
      }
    }
  }
  // Sources are read last: every cheaper check has passed by then.
  for (const auto& source : options_.sources) {
    const std::string& name = source.first;
    auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](const GraphNode& n) { return n.name == name; });
    if (it == nodes_.end() || !it->isSource)
      fail(nullptr, "nodes", "there is no file node '" + name + "' to give a stream for");
  }
  for (GraphNode& node : nodes_) {
    if (!node.isSource) continue;
    if (auto given = options_.sources.find(node.name); given != options_.sources.end()) {
      node.source = std::move(*given->second);
      node.source.connected = true;
      if (node.fileType && *node.fileType != node.source.type) {
        node.source.stream = convertStream(std::move(node.source.stream), node.source.type, *node.fileType);
        node.source.type = *node.fileType;
      }
      continue;
    }
    try {
      FileStream fsr = readStream(node.file);
      for (const std::string& note : fsr.notes) std::fprintf(stderr, "warning: %s\n", note.c_str());
      kxType type = node.fileType.value_or(fsr.type);
      node.source.type = type;
      node.source.connected = true;
      node.source.stream = convertStream(std::move(fsr.stream), fsr.type, type);
    } catch (const UsageError& e) {
      fail(&node, "file", e.what());
    }
  }
}

kxhost::Stream Graph::take(const Link& link) {
  GraphNode& producer = nodes_[link.node];
  kxhost::Stream& stream =
      producer.isSource ? producer.source.stream : producer.outputs[static_cast<std::size_t>(link.pin)].stream;
  int& left = producer.consumers[static_cast<std::size_t>(link.pin)];
  // The last consumer takes the stream itself; earlier ones take copies.
  if (--left == 0 && !(options_.keepOutputs && !producer.isSource)) return std::move(stream);
  return copyStream(stream);
}

int Graph::run(const std::function<void(const NodeRun&)>& observer) {
  int status = 0;
  Json reports = Json::array();
  Json error = nullptr;
  std::size_t total = 0, index = 0;
  for (std::size_t i : order_) total += nodes_[i].isSource ? 0 : 1;

  for (std::size_t i : order_) {
    GraphNode& node = nodes_[i];
    if (node.isSource) {
      node.ran = true;
      node.outputs.clear();
      if (observer) observer(NodeRun{node, NodeRun::Ran, "", nullptr, nullptr, {}});
      continue;
    }
    ++index;
    std::string skip;
    if (!node.missing.empty()) {
      skip = "the plug-in does not export " + toUtf8(node.missing) + " yet";
    } else {
      for (const auto& link : node.inputs) {
        if (link && !nodes_[link->node].ran) {
          skip = "needs node '" + nodes_[link->node].name + "', which did not run";
          break;
        }
      }
    }
    if (!skip.empty()) {
      // Release what this node would have taken, so that copies stay right for the others.
      for (const auto& link : node.inputs) {
        if (link && nodes_[link->node].ran) take(*link);
      }
      if (options_.progress)
        std::fprintf(stderr, "[%zu/%zu] %s: skipped, %s\n", index, total, node.name.c_str(), skip.c_str());
      if (observer) observer(NodeRun{node, NodeRun::Skipped, skip, nullptr, nullptr, {}});
      continue;
    }
    if (options_.progress) {
      std::fprintf(stderr, "[%zu/%zu] %s (%s)\n", index, total, node.name.c_str(),
                   toUtf8(node.record->displayName).c_str());
    }

    kxhost::Instance inst = plugin_->instantiate(node.record);
    inst.limits = options_.limits.value_or(hostLimits());
    bool inputFailed = false;
    for (const auto& [p, v] : node.params) inst.params[static_cast<std::size_t>(p)] = v;
    for (std::size_t pin = 0; pin < inst.inputs.size(); ++pin) {
      kxhost::Pin& in = inst.inputs[pin];
      if (const auto& link = node.inputs[pin]) {
        const GraphNode& producer = nodes_[link->node];
        kxType from =
            producer.isSource ? producer.source.type : producer.outputs[static_cast<std::size_t>(link->pin)].type;
        in.type = node.inTypes[pin].value_or(from);
        in.connected = true;
        try {
          in.stream = convertStream(take(*link), from, in.type);
        } catch (const UsageError& e) {
          std::fprintf(stderr, "error: node '%s': %s\n", node.name.c_str(), e.what());
          inputFailed = true;
        }
      } else {
        in.connected = false;
        if (node.inTypes[pin]) in.type = *node.inTypes[pin];
      }
    }
    if (inputFailed) {
      if (status == 0) status = 2;
      if (!options_.keepGoing) break;
      continue;
    }
    for (std::size_t pin = 0; pin < inst.outputs.size(); ++pin) {
      if (node.outTypes[pin]) inst.outputs[pin].type = *node.outTypes[pin];
      inst.outputs[pin].connected = options_.keepOutputs || node.consumers[pin] > 0 || node.writes[pin].has_value();
    }
    const std::string name = node.name;
    if (!options_.quiet) {
      inst.onWarning = [name](const std::string& text) {
        std::fprintf(stderr, "warning: %s: %s\n", name.c_str(), toUtf8(text).c_str());
      };
    }

    const auto start = std::chrono::steady_clock::now();
    kxhost::RunResult result = inst.run();
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    // A run the host cut short for its size has failed even when the processor went on.
    bool failed = !result.completed || !result.refused.empty() || result.returned != 1;
    std::string text = !result.completed ? toUtf8(result.error)
                       : !result.refused.empty()
                           ? toUtf8(result.refused)
                           : std::string(node.record->entry) + " returned " + std::to_string(result.returned);
    if (failed && !options_.quiet) {
      std::fprintf(stderr, "error: node '%s' (%s): %s\n", node.name.c_str(), node.record->entry, text.c_str());
    }

    // Outputs are written as the host holds them, after an exception too; but not after a refusal
    // for size, which leaves them short of what was refused, nor when a failed run left an output
    // without a matrix (the failure is the one error to report).
    NodeRun done{node,           failed ? NodeRun::Failed : NodeRun::Ran, failed ? text : "", &inst, &result, {},
                 seconds.count()};
    bool writeFailed = false;
    for (std::size_t pin = 0; pin < node.files.size(); ++pin) {
      if (!node.files[pin]) continue;
      if (!result.refused.empty() || (failed && inst.outputs[pin].stream.matrices.empty())) {
        node.files[pin].reset();
        continue;
      }
      OutputFile& file = *node.files[pin];
      try {
        writeStream(requireFormat(file.target()), file.temp(), file.target(), inst.outputs[pin].type,
                    inst.outputs[pin].stream);
        file.commit();
        done.written.push_back(file.target().string());
      } catch (const UsageError& e) {
        std::fprintf(stderr, "error: node '%s': %s\n", node.name.c_str(), e.what());
        writeFailed = true;
      }
    }
    Json r = Json::object();
    r["node"] = node.name;
    Json run = runReport(inst, result);
    for (auto& [key, value] : run.items()) r[key] = std::move(value);
    reports.push_back(std::move(r));
    if (observer) observer(done);

    node.ran = !failed;
    node.outputs = std::move(inst.outputs);
    for (std::size_t pin = 0; pin < node.outputs.size(); ++pin) {
      if (node.consumers[pin] == 0 && !options_.keepOutputs) node.outputs[pin].stream = kxhost::Stream{};
    }
    if (failed && status == 0) {
      status = 1;
      error = Json{{"node", node.name}, {"text", text}};
    }
    if (writeFailed && status == 0) status = 2;
    if (status != 0 && !options_.keepGoing) break;
    if (writeFailed) node.ran = false;
  }
  report_ = Json::object();
  report_["graph"] = source_;
  report_["completed"] = status == 0;
  report_["error"] = error;
  report_["nodes"] = std::move(reports);
  return status;
}

}  // namespace kxrun
