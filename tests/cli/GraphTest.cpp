// kxrun graph and kxrun demo, end to end: dependency order, links, conversions, the checks made
// before anything runs, stopping at the first exception, the example graphs, the demo, and the page
// `kxrun graph --html` writes, opened in headless Chromium: every picture loads, no script fails,
// the drawing has one box per node, and the failed node and those after it are marked.
#include <cstdlib>
#include <regex>
#include <set>

#include "Support.h"

using namespace clitest;

namespace {

class Graph : public Cli {
protected:
  void SetUp() override {
    Cli::SetUp();
    fs::create_directory(path("g"));
    // a: three 2 x 1 matrices; b: one; z: two, the second with a zero.
    put("g/a.npy", npyBytes("|u1", {3, 1, 2, 1}, std::string("\x01\x02\x03\x04\x05\x06", 6)));
    put("g/b.npy", npyBytes("|u1", {1, 2}, std::string("\x0a\x14", 2)));
    put("g/z.npy", npyBytes("|u1", {2, 1, 2, 1}, std::string("\x01\x01\x01\x00", 4)));
  }
  Outcome graph(const std::string& text, const std::string& options = "--report report.json") {
    put("g/graph.json", text);
    return run("graph g/graph.json " + options);
  }
};

TEST_F(Graph, RunsInDependencyOrderWithPathsRelativeToTheGraphFileAndEachPinsOwnType) {
  Outcome o = graph(R"({
    // Comments are allowed; "late" is listed before the node it needs.
    "nodes": {
      "late": {"processor": "_SubImage", "in": ["sum", "a"], "out-type": "int32", "write": "out/late.npy"},
      "a":    {"file": "a.npy"},
      "b":    {"file": "b.npy"},
      "sum":  {"processor": "AddImage", "in": ["a", "b"], "write": "out/sum.tif"},
      "c":    {"file": "b.npy", "type": "int32"},
      "x":    {"processor": "_MultImage", "in": ["c", "c"], "write": "x.npy"},
      "y":    {"processor": "_AddImage", "in": ["c", "c"], "in-type": ["float64", null], "out-type": "float32",
               "write": "y.npy"},
      "z":    {"processor": "_SubImage", "in": ["x", "c"], "in-type": 3, "out-type": 4, "write": "z.npy"}
    }
  })");
  ASSERT_EQ(o.status, 0) << o.err;
  std::vector<Page> sum = readTiff(path("g/out/sum.tif"));
  ASSERT_EQ(sum.size(), 3u);
  EXPECT_EQ(sum[2].data, std::string("\x0f\x1a", 2));
  // late = (a + b) - a = b, for each of a's three matrices.
  Npy late = readNpy(path("g/out/late.npy"));
  EXPECT_EQ(late.shape, (std::vector<int64_t>{3, 1, 2, 1}));
  EXPECT_EQ(values<int32_t>(late.data), (std::vector<int32_t>{10, 20, 10, 20, 10, 20}));
  // One output feeds several nodes, each pin with its own type.
  EXPECT_EQ(values<int32_t>(readNpy(path("g/x.npy")).data), (std::vector<int32_t>{100, 400}));
  EXPECT_EQ(values<float>(readNpy(path("g/y.npy")).data), (std::vector<float>{20, 40}));
  EXPECT_EQ(values<double>(readNpy(path("g/z.npy")).data), (std::vector<double>{90, 380}));
  Json r = readJson(path("report.json"));
  EXPECT_EQ(std::tie(r["completed"], r["error"]), std::tuple(Json(true), Json()));
  ASSERT_EQ(r["nodes"].size(), 5u);
  EXPECT_EQ(std::tie(r["nodes"][0]["node"], r["nodes"][1]["node"]), std::tuple(Json("sum"), Json("late")));
  EXPECT_EQ(r["nodes"][1]["inputs"]["0"]["type"], 0);
  EXPECT_EQ(r["nodes"][1]["outputs"]["0"]["connected"], true);
  EXPECT_EQ(std::tie(r["nodes"][3]["inputs"]["0"]["type"], r["nodes"][3]["inputs"]["1"]["type"]),
            std::tuple(Json(4), Json(2)));
  EXPECT_EQ(r["nodes"][4]["inputs"]["1"]["type"], 3);
}

TEST_F(Graph, StopsAtTheFirstExceptionKeepingWhatWasWritten) {
  Outcome o = graph(R"({"nodes": {
      "a": {"file": "a.npy"}, "z": {"file": "z.npy"},
      "first": {"processor": "_AddImage", "in": ["a", "a"], "write": "first.npy"},
      "div":   {"processor": "_DivImage", "in": ["z", "z"], "out-type": "float64", "write": "div.npy"},
      "last":  {"processor": "_SubImage", "in": ["first", "a"], "write": "last.npy"}}})");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err,
            "error: node 'div' (_DivImage): Division durch 0; der Datenstrom am 2. Input-Pin enth\xc3\xa4lt Elemente "
            "vom Wert 0.\n");
  EXPECT_EQ(values<double>(readNpy(path("g/div.npy")).data), (std::vector<double>{1, 1, 1, 0}));
  Json r = readJson(path("report.json"));
  EXPECT_EQ(r["completed"], false);
  EXPECT_EQ(r["error"]["node"], "div");
  EXPECT_EQ(r["nodes"].size(), 2u);
  EXPECT_EQ(files(),
            (Args{"g/a.npy", "g/b.npy", "g/div.npy", "g/first.npy", "g/graph.json", "g/z.npy", "report.json"}));
}

TEST_F(Graph, ProgressCountsTheProcessorNodesAndWarningsNameTheNode) {
  const std::string unequal =
      "Die Bildanzahl an den Input-Pins ist ungleich. Die Operation wird einem festen Bild (1. Bild, 2. Pin) "
      "durchgef\xc3\xbchrt.";
  const std::string text = R"({"nodes": {"a": {"file": "a.npy"}, "z": {"file": "z.npy"},
      "s": {"processor": "_AddImage", "in": ["a", "a"]}, "t": {"processor": "SubImage", "in": ["s", "z"]}}})";
  Outcome o = graph(text, "--progress --report report.json");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "[1/2] s (AddImage)\n[2/2] t (SubImage)\nwarning: t: " + unequal + "\n");
  EXPECT_EQ(readJson(path("report.json"))["nodes"][1]["warnings"], Json::array({unequal}));
  EXPECT_EQ(graph(text, "--no-progress").err, "warning: t: " + unequal + "\n");
}

TEST_F(Graph, ANodeBeyondTheMatrixCeilingWritesNothingAndThoseBeforeItTheirFiles) {
  Outcome o = graph(R"({"nodes": {
      "small": {"processor": "_ConstImage", "params": {"X": 10, "Y": 10}, "write": "small.npy"},
      "big":   {"processor": "_ConstImage", "params": {"X": 300, "Y": 300}, "write": "big.npy"}}})",
                    "--max-matrix-bytes 64K");
  EXPECT_TRUE(fails(o, 1, "node 'big' (_ConstImage): "));
  EXPECT_TRUE(fails(o, 1, "(90000 bytes) exceeds the host's limit of 65536 bytes per matrix"));
  EXPECT_EQ(files(), (Args{"g/a.npy", "g/b.npy", "g/graph.json", "g/small.npy", "g/z.npy"}));
}

// ---- the examples and the demo ----------------------------------------------------------------------

// Expects every file the graph's nodes write, relative to `dir`, and returns the processors used.
std::set<std::string> expectWrites(const Json& graph, const fs::path& dir) {
  std::set<std::string> processors;
  for (const auto& [name, node] : graph["nodes"].items()) {
    if (node.contains("processor")) processors.insert(node["processor"]);
    const Json write = node.value("write", Json());
    for (const Json& w : write.is_array() ? write : Json::array({write}))
      EXPECT_TRUE(!w.is_string() || fs::exists(dir / w.get<std::string>())) << name << ": " << w;
  }
  return processors;
}

TEST_F(Cli, ExamplesRunAsTheyStand) {
  fs::copy(fs::path(RK_SOURCE_DIR) / "examples", path("examples"), fs::copy_options::recursive);
  int ran = 0;
  for (const auto& entry : fs::directory_iterator(path("examples"))) {
    if (entry.path().extension() != ".json") continue;
    Outcome o = run("graph " + entry.path().string());
    EXPECT_EQ(o.status, 0) << entry.path() << "\n" << o.err;
    EXPECT_FALSE(expectWrites(readJson(entry.path()), path("examples")).empty()) << entry.path();
    ++ran;
  }
  EXPECT_GT(ran, 0);
}

TEST_F(Cli, DemoWritesEveryOutputAndAContactSheetAndItsGraphRunsAgain) {
  Outcome o = ok("demo --out demo");
  EXPECT_NE(o.out.find("contact sheet: demo/index.html"), std::string::npos) << o.out;
  const std::string html = readFile(path("demo/index.html"));
  const Json graph = readJson(path("demo/demo-graph.json"));
  for (const auto& [name, node] : graph["nodes"].items())
    EXPECT_NE(html.find("<h2>" + name + "</h2>"), std::string::npos) << name;
  EXPECT_EQ(html.find("skipped: "), std::string::npos);
  EXPECT_NE(html.find("warning: Objekt 0: Division durch 0; Das Objekt wird kopiert"), std::string::npos);
  EXPECT_EQ(graph["nodes"]["rotated"]["params"]["RotDegree"], 30);
  // Every processor family is in the demo, and the graph it leaves behind runs by itself.
  std::set<std::string> procs = expectWrites(graph, path("demo"));
  ok("graph demo/demo-graph.json");
  for (const char* family :
       {"_ImagePlane", "_ConstImage", "_AddImage", "_ScalarAddImage", "_AndImage", "_NotImage", "_BinImage",
        "_BinAdaptThreshImage", "_MittelWert", "_MittelSigma", "_RGBSplitt", "_RGBJoin", "_TransformImage"})
    EXPECT_TRUE(procs.count(family)) << family;
}

// ---- the run page -----------------------------------------------------------------------------------

// Attribute values and element counts in the page as the browser left it.
std::string attribute(const std::string& dom, const std::string& name) {
  std::smatch m;
  return std::regex_search(dom, m, std::regex(name + "=\"([^\"]*)\"")) ? m[1].str() : "missing";
}
std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(Cli, RunPageShowsTheGraphAndEveryPictureInABrowser) {
  writeFile(path("a.npy"), npyBytes("<f4", {3, 4}, raw<float>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12})));
  writeFile(path("z.npy"), npyBytes("|u1", {3, 4}, std::string(12, '\0')));
  writeFile(path("g.json"), R"({"nodes": {
      "a": {"file": "a.npy"}, "z": {"file": "z.npy"},
      "sum":  {"processor": "_AddImage", "in": ["a", "a"], "out-type": "float32"},
      "div":  {"processor": "_DivImage", "in": ["z", "z"]},
      "mask": {"processor": "_BinImage", "in": "div", "params": {"threshold": 1}},
      "not":  {"processor": "_NotImage", "in": "mask"}}})");
  Outcome o = run("graph g.json --html page");
  ASSERT_EQ(o.status, 1) << o.err;
  const std::string page = readFile(path("page/index.html"));
  EXPECT_EQ(count(page, "<g class=\"node\">"), 6u);
  EXPECT_EQ(count(page, "class=\"box failed\""), 1u);
  EXPECT_EQ(count(page, "class=\"box downstream\""), 2u);
  EXPECT_EQ(count(page, "<path class=\"edge"), 6u);  // one arrow per linked input pin

  if (std::system("command -v chromium >/dev/null") != 0) GTEST_SKIP() << "chromium is not installed";
  const std::string shot = (fs::path(KXRUN_PATH).parent_path().parent_path() / "run-page.png").string();
  const std::string browser =
      "cd " + dir_.string() +
      " && timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync --hide-scrollbars "
      "--virtual-time-budget=5000 --window-size=1200,1400 --user-data-dir=" +
      (dir_ / "profile").string() + " ";
  const std::string url = "file://" + path("page/index.html").string();
  ASSERT_EQ(std::system((browser + "--dump-dom " + url + " >dom.html 2>/dev/null").c_str()), 0);
  ASSERT_EQ(std::system((browser + "--screenshot=" + shot + " " + url + " >/dev/null 2>&1").c_str()), 0);
  const std::string dom = readFile(path("dom.html"));
  const std::size_t images = count(page, "<img ");
  EXPECT_EQ(images, 4u);  // a, z, sum and the failed div's output as the host held it
  EXPECT_EQ(attribute(dom, "data-images"), std::to_string(images) + "/" + std::to_string(images));
  EXPECT_EQ(attribute(dom, "data-script-errors"), "0");
  EXPECT_EQ(count(dom, "<g class=\"node\">"), 6u);
  EXPECT_TRUE(fs::file_size(shot) > 1000) << shot;
}

}  // namespace
