// kxrun graph and kxrun demo, end to end: dependency order, links, conversions, the checks made
// before anything runs, stopping at the first exception, the example graphs and the demo.
#include <set>

#include "Support.h"

using namespace clitest;

namespace {

const std::string kUnequal =
    "Die Bildanzahl an den Input-Pins ist ungleich. Die Operation wird einem festen Bild (1. Bild, 2. Pin) "
    "durchgef\xc3\xbchrt.";

class Graph : public Cli {
protected:
  void SetUp() override {
    Cli::SetUp();
    fs::create_directory(path("g"));
    // a: three 2 x 1 matrices; b: one; z: two, the second with a zero.
    writeFile(path("g/a.npy"), npyBytes("|u1", {3, 1, 2, 1}, std::string("\x01\x02\x03\x04\x05\x06", 6)));
    writeFile(path("g/b.npy"), npyBytes("|u1", {1, 2}, std::string("\x0a\x14", 2)));
    writeFile(path("g/z.npy"), npyBytes("|u1", {2, 1, 2, 1}, std::string("\x01\x01\x01\x00", 4)));
  }
  Outcome graph(const std::string& text, std::vector<std::string> extra = {}) {
    writeFile(path("g/graph.json"), text);
    std::vector<std::string> args = {"graph", "g/graph.json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args);
  }
};

TEST_F(Graph, RunsInDependencyOrderWithPathsRelativeToTheGraphFile) {
  Outcome o = graph(R"({
    // Comments are allowed; "late" is listed before the node it needs.
    "nodes": {
      "late": {"processor": "_SubImage", "in": ["sum", "a"], "out-type": "int32", "write": "out/late.npy"},
      "a":    {"file": "a.npy"},
      "b":    {"file": "b.npy"},
      "sum":  {"processor": "AddImage", "in": ["a", "b"], "write": "out/sum.tif"}
    }
  })",
                    {"--report", "report.json"});
  ASSERT_EQ(o.status, 0) << o.err;
  std::vector<Page> sum = readTiff(path("g/out/sum.tif"));
  ASSERT_EQ(sum.size(), 3u);
  EXPECT_EQ(sum[2].data, std::string("\x0f\x1a", 2));
  // late = (a + b) - a = b, for each of a's three matrices.
  Npy late = readNpy(path("g/out/late.npy"));
  EXPECT_EQ(late.shape, (std::vector<int64_t>{3, 1, 2, 1}));
  EXPECT_EQ(late.values<int32_t>(), (std::vector<int32_t>{10, 20, 10, 20, 10, 20}));
  Json r = readJson(path("report.json"));
  EXPECT_EQ(r["completed"], true);
  EXPECT_TRUE(r["error"].is_null());
  ASSERT_EQ(r["nodes"].size(), 2u);
  EXPECT_EQ(r["nodes"][0]["node"], "sum");
  EXPECT_EQ(r["nodes"][1]["node"], "late");
  EXPECT_EQ(r["nodes"][1]["inputs"]["0"]["type"], 0);
  EXPECT_EQ(r["nodes"][1]["outputs"]["0"]["connected"], true);
}

TEST_F(Graph, WarningsNameTheNode) {
  Outcome o = graph(R"({"nodes": {
      "a": {"file": "a.npy"}, "z": {"file": "z.npy"},
      "mixed": {"processor": "_AbsDiffImage", "in": ["a", "z"]}}})",
                    {"--report", "report.json"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "warning: mixed: " + kUnequal + "\n");
  EXPECT_EQ(readJson(path("report.json"))["nodes"][0]["warnings"], Json::array({kUnequal}));
}

TEST_F(Graph, OneOutputFeedsSeveralNodesEachWithItsOwnInputType) {
  Outcome o = graph(R"({"nodes": {
      "b":  {"file": "b.npy", "type": "int32"},
      "x":  {"processor": "_MultImage", "in": ["b", "b"], "write": "x.npy"},
      "y":  {"processor": "_AddImage", "in": ["b", "b"], "in-type": ["float64", null], "out-type": "float32",
             "write": "y.npy"},
      "z":  {"processor": "_SubImage", "in": ["x", "b"], "in-type": 3, "out-type": 4, "write": "z.npy"}}})",
                    {"--report", "report.json"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(readNpy(path("g/x.npy")).values<int32_t>(), (std::vector<int32_t>{100, 400}));
  EXPECT_EQ(readNpy(path("g/y.npy")).values<float>(), (std::vector<float>{20, 40}));
  EXPECT_EQ(readNpy(path("g/z.npy")).values<double>(), (std::vector<double>{90, 380}));
  Json r = readJson(path("report.json"));
  EXPECT_EQ(r["nodes"][1]["inputs"]["0"]["type"], 4);
  EXPECT_EQ(r["nodes"][1]["inputs"]["1"]["type"], 2);
  EXPECT_EQ(r["nodes"][2]["inputs"]["1"]["type"], 3);
}

TEST_F(Graph, StopsAtTheFirstExceptionKeepingWhatWasWritten) {
  Outcome o = graph(R"({"nodes": {
      "a": {"file": "a.npy"}, "z": {"file": "z.npy"},
      "first": {"processor": "_AddImage", "in": ["a", "a"], "write": "first.npy"},
      "div":   {"processor": "_DivImage", "in": ["z", "z"], "out-type": "float64", "write": "div.npy"},
      "last":  {"processor": "_SubImage", "in": ["first", "a"], "write": "last.npy"}}})",
                    {"--report", "report.json"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err,
            "error: node 'div' (_DivImage): Division durch 0; der Datenstrom am 2. Input-Pin enth\xc3\xa4lt Elemente "
            "vom Wert 0.\n");
  EXPECT_TRUE(fs::exists(path("g/first.npy")));
  EXPECT_EQ(readNpy(path("g/div.npy")).values<double>(), (std::vector<double>{1, 1, 1, 0}));
  EXPECT_FALSE(fs::exists(path("g/last.npy")));
  Json r = readJson(path("report.json"));
  EXPECT_EQ(r["completed"], false);
  EXPECT_EQ(r["error"]["node"], "div");
  EXPECT_EQ(r["nodes"].size(), 2u);
  EXPECT_EQ(files(), (std::vector<std::string>{"g/a.npy", "g/b.npy", "g/div.npy", "g/first.npy", "g/graph.json",
                                               "g/z.npy", "report.json"}));
}

TEST_F(Graph, ProgressCountsTheProcessorNodes) {
  Outcome o = graph(R"({"nodes": {"a": {"file": "a.npy"}, "s": {"processor": "_AddImage", "in": ["a", "a"]},
                                   "t": {"processor": "SubImage", "in": ["s", "a"]}}})",
                    {"--progress"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "[1/2] s (AddImage)\n[2/2] t (SubImage)\n");
  EXPECT_EQ(graph(R"({"nodes": {"a": {"file": "a.npy"}, "s": {"processor": "_AddImage", "in": ["a", "a"]}}})",
                  {"--no-progress"})
                .err,
            "");
}

TEST_F(Graph, SetOverridesAParameter) {
  if (!available("_ConstImage")) GTEST_SKIP() << "_ConstImage is not in this build";
  Outcome o = graph(R"({"nodes": {"c": {"processor": "_ConstImage", "params": {"X": 2, "Y": 1, "scalar": 3},
                                         "out-type": "float64", "write": "c.npy"}}})",
                    {"--set", "c.scalar=2,5"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(readNpy(path("g/c.npy")).values<double>(), (std::vector<double>{2.5, 2.5}));
}

// ---- checks before anything runs ----------------------------------------------------------------------

struct BadGraph {
  std::string name;
  std::string nodes;  // the body of "nodes", or a whole file when it does not start with '"'
  std::string message;
  std::vector<std::string> extra = {};
};

class GraphCheck : public Graph, public ::testing::WithParamInterface<BadGraph> {};

TEST_P(GraphCheck, NothingRunsAndTheMessageNamesTheNodeAndField) {
  const BadGraph& c = GetParam();
  std::string text = c.nodes.rfind("\"", 0) == 0 ? R"({"nodes": {"a": {"file": "a.npy"}, )" + c.nodes + "}}" : c.nodes;
  writeFile(path("g/graph.json"), text);
  std::vector<std::string> before = files();
  std::vector<std::string> args = {"graph", "g/graph.json"};
  args.insert(args.end(), c.extra.begin(), c.extra.end());
  Outcome o = run(args);
  EXPECT_EQ(o.status, 2) << o.err;
  EXPECT_EQ(o.err.rfind("error: ", 0), 0u) << o.err;
  EXPECT_NE(o.err.find(c.message), std::string::npos) << "expected \"" << c.message << "\" in: " << o.err;
  EXPECT_EQ(files(), before) << "a node ran or a file was left behind";
}

// Every case has a good first node that writes a file, so that running anything would show.
#define GOOD R"("ok": {"processor": "_AddImage", "in": ["a", "a"], "write": "ok.npy"}, )"

INSTANTIATE_TEST_SUITE_P(
    Graphs, GraphCheck,
    ::testing::Values(
        BadGraph{"unknown_processor", GOOD R"("x": {"processor": "_Frobnicate"})",
                 "node 'x', field \"processor\": unknown processor '_Frobnicate'"},
        BadGraph{"unknown_parameter",
                 GOOD R"("x": {"processor": "_AddImage", "in": ["a", "a"], "params": {"gain": 1}})",
                 "node 'x', field \"params.gain\": unknown parameter of _AddImage"},
        BadGraph{"too_many_inputs", GOOD R"("x": {"processor": "_AddImage", "in": ["a", "a", "a"]})",
                 "node 'x', field \"in\": _AddImage has 2 input pins"},
        BadGraph{"unknown_output_pin", GOOD R"("x": {"processor": "_AddImage", "in": ["a", "a.1"]})",
                 "node 'x', field \"in\": 'a.1': node 'a' has 1 output pin"},
        BadGraph{"unknown_node", GOOD R"("x": {"processor": "_AddImage", "in": ["a", "nope"]})",
                 "node 'x', field \"in\": 'nope': there is no node 'nope'"},
        BadGraph{"unlinked_required_input", GOOD R"("x": {"processor": "_AddImage", "in": ["a"]})",
                 "node 'x', field \"in\": input pin 1 (\"Bilddaten\") of _AddImage must be linked"},
        BadGraph{"cycle", GOOD R"("x": {"processor": "_AddImage", "in": ["y", "a"]},
                                  "y": {"processor": "_SubImage", "in": ["a", "x"]})",
                 "the links form a cycle: "},
        BadGraph{"self_cycle", GOOD R"("x": {"processor": "_AddImage", "in": ["x", "a"]})",
                 "node 'x', field \"in\": the links form a cycle: x -> x"},
        BadGraph{"missing_input_file", GOOD R"("m": {"file": "missing.npy"})",
                 "node 'm', field \"file\": g/missing.npy: no such file"},
        BadGraph{"malformed_input_file", GOOD R"("m": {"file": "graph.json.npy"})", "node 'm', field \"file\""},
        BadGraph{"unknown_field", GOOD R"("x": {"processor": "_AddImage", "in": ["a", "a"], "parms": {}})",
                 "node 'x', field \"parms\": unknown field"},
        BadGraph{"bad_type", GOOD R"("x": {"processor": "_AddImage", "in": ["a", "a"], "out-type": "double"})",
                 "node 'x', field \"out-type\": "},
        BadGraph{"format_cannot_hold_type",
                 GOOD R"("x": {"processor": "_AddImage", "in": ["a", "a"], "out-type": "float32", "write": "x.png"})",
                 "node 'x', field \"write\": "},
        BadGraph{"unwritable_output",
                 GOOD R"("x": {"processor": "_AddImage", "in": ["a", "a"], "write": "a.npy/x.npy"})",
                 "node 'x', field \"write\": "},
        BadGraph{"same_file_twice", GOOD R"("x": {"processor": "_AddImage", "in": ["a", "a"], "write": "ok.npy"})",
                 "is written by node 'ok' too"},
        BadGraph{"bad_node_name", GOOD R"("x y": {"processor": "_AddImage", "in": ["a", "a"]})",
                 "node 'x y': a node name consists of"},
        BadGraph{"both_kinds", GOOD R"("x": {"processor": "_AddImage", "file": "a.npy"})",
                 "node 'x': a node has either"},
        BadGraph{"duplicate_key", R"({"nodes": {"a": {"file": "a.npy"}, "a": {"file": "b.npy"}}})", "appears twice"},
        BadGraph{"syntax_error", R"({"nodes": {"a": {"file": "a.npy"},}})", "g/graph.json: parse error at line 1"},
        BadGraph{"no_nodes", R"({"nodez": {}})", "field \"nodez\": unknown field"},
        BadGraph{"set_unknown_node",
                 GOOD R"("x": {"processor": "_AddImage", "in": ["a", "a"]})",
                 "has no node 'y'",
                 {"--set", "y.scalar=1"}},
        BadGraph{"set_unknown_parameter",
                 GOOD R"("x": {"processor": "_AddImage", "in": ["a", "a"]})",
                 "_AddImage has no parameter 'gain'",
                 {"--set", "x.gain=1"}},
        BadGraph{"set_malformed",
                 GOOD R"("x": {"processor": "_AddImage", "in": ["a", "a"]})",
                 "expected NODE.PARAM=VALUE",
                 {"--set", "x=1"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(Cli, AMissingGraphFileIsAUsageError) {
  Outcome o = run({"graph", "nothing.json"});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "error: nothing.json: no such graph file\n");
}

// ---- the examples and the demo ----------------------------------------------------------------------

std::set<std::string> processorsOf(const Json& graph) {
  std::set<std::string> names;
  for (const auto& [name, node] : graph["nodes"].items()) {
    if (node.contains("processor")) names.insert(node["processor"]);
  }
  return names;
}

Json parseWithComments(const std::string& text) { return Json::parse(text, nullptr, true, true); }

TEST_F(Cli, ExamplesRunAsTheyStand) {
  fs::copy(fs::path(RK_SOURCE_DIR) / "examples", path("examples"), fs::copy_options::recursive);
  int ran = 0;
  for (const auto& entry : fs::directory_iterator(path("examples"))) {
    if (entry.path().extension() != ".json") continue;
    Json graph = parseWithComments(readFile(entry.path()));
    bool complete = true;
    for (const std::string& p : processorsOf(graph)) complete = complete && available(p);
    if (!complete) continue;
    Outcome o = run({"graph", entry.path().string()});
    EXPECT_EQ(o.status, 0) << entry.path() << "\n" << o.err;
    for (const auto& [name, node] : graph["nodes"].items()) {
      if (!node.contains("write")) continue;
      Json writes = node["write"].is_array() ? node["write"] : Json::array({node["write"]});
      for (const Json& w : writes) {
        if (!w.is_null()) {
          EXPECT_TRUE(fs::exists(path("examples") / w.get<std::string>())) << w;
        }
      }
    }
    ++ran;
  }
  if (ran == 0) GTEST_SKIP() << "no example has all its processors in this build";
}

TEST_F(Cli, DemoWritesEveryOutputItsProcessorsAllowAndAContactSheet) {
  Outcome o = run({"demo", "--out", "demo"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("contact sheet: demo/index.html"), std::string::npos) << o.out;
  const std::string html = readFile(path("demo/index.html"));
  Json graph = parseWithComments(readFile(path("demo/demo-graph.json")));

  // Every processor family is in the demo.
  std::set<std::string> procs = processorsOf(graph);
  for (const char* family :
       {"_ImagePlane", "_ConstImage", "_AddImage", "_ScalarAddImage", "_AndImage", "_NotImage", "_BinImage",
        "_BinAdaptThreshImage", "_MittelWert", "_MittelSigma", "_RGBSplitt", "_RGBJoin", "_TransformImage"}) {
    EXPECT_TRUE(procs.count(family)) << family;
  }
  EXPECT_EQ(graph["nodes"]["rotated"]["params"]["RotDegree"], 30);

  // A node runs when its processor is built and every node it needs ran.
  std::map<std::string, bool> ran;
  std::function<bool(const std::string&)> runs = [&](const std::string& name) {
    if (ran.count(name)) return ran[name];
    const Json& node = graph["nodes"][name];
    bool ok = !node.contains("processor") || available(node["processor"]);
    if (node.contains("in")) {
      Json links = node["in"].is_array() ? node["in"] : Json::array({node["in"]});
      for (const Json& l : links) ok = ok && runs(l.get<std::string>().substr(0, l.get<std::string>().find('.')));
    }
    return ran[name] = ok;
  };
  bool everything = true;
  for (const auto& [name, node] : graph["nodes"].items()) {
    EXPECT_NE(html.find("<h2>" + name + "</h2>"), std::string::npos) << name;
    everything = everything && runs(name);
    if (!node.contains("write")) continue;
    Json writes = node["write"].is_array() ? node["write"] : Json::array({node["write"]});
    for (const Json& w : writes) EXPECT_EQ(fs::exists(path("demo") / w.get<std::string>()), runs(name)) << name;
  }
  // Each node that cannot run says why.
  std::size_t notRun = 0, notes = 0;
  for (const auto& [name, node] : graph["nodes"].items()) notRun += runs(name) ? 0 : 1;
  for (std::size_t at = html.find("skipped: "); at != std::string::npos; at = html.find("skipped: ", at + 1)) ++notes;
  EXPECT_EQ(notes, notRun);
  if (!available("_RGBSplitt")) {
    EXPECT_NE(html.find("skipped: the plug-in does not export _RGBSplitt yet"), std::string::npos);
  }
  if (available("_Norm") && available("_ConstImage")) {
    EXPECT_NE(html.find("warning: Objekt 0: Division durch 0; Das Objekt wird kopiert"), std::string::npos);
  }
  // The graph the demo leaves behind runs by itself once every processor is built.
  if (everything) {
    Outcome again = run({"graph", "demo/demo-graph.json"});
    EXPECT_EQ(again.status, 0) << again.err;
  }
}

}  // namespace
