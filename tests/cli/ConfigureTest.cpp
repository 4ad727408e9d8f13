// kxrun configure: parameter files and graph nodes edited through the processors' own dialogs,
// driven by action scripts, and the parameter files used by run and graph. Refusals are among the
// bad inputs.
#include "Support.h"

using namespace clitest;

namespace {

const std::string kGraph = R"({
  // The threshold is tuned by hand.
  "nodes": {
    "in":   {"file": "in.npy"},
    "bin":  {"processor": "_BinImage", "in": "in",
             "params": {"threshold": 10}, /* set by kxrun configure */ "write": "out.npy"},
    "mult": {"processor": "_ScalarMultImage", "in": "in", "write": "mult.npy"},
    "c":    {"processor": "_ConstImage", "params": {"X": 2, "Y": 1}, "out-type": "float64", "write": "c.npy"}
  }
})";

class Configure : public Cli {
protected:
  void SetUp() override {
    Cli::SetUp();
    put("in.npy", npyBytes("|u1", {1, 3}, std::string("\x05\x0b\x20", 3)));
  }
  // Runs the command with an action script; it should succeed.
  Outcome configure(const std::string& line, const std::string& actions) const {
    put("actions.txt", actions);
    return ok("configure " + line + " --script actions.txt");
  }
  std::string out(const std::string& name) const { return readNpy(path(name)).data; }
};

TEST_F(Configure, OkWritesEveryParameterOfTheEntryAndRunUsesThem) {
  Outcome o = configure("_BinImage --params bin.json", "type 1005 11\nok\n");
  Json p = readJson(path("bin.json"));
  EXPECT_EQ(p, (Json{{"processor", "_BinImage"}, {"params", {{"above", 255.0}, {"below", 0.0}, {"threshold", 11.0}}}}));
  EXPECT_TRUE(p["params"]["above"].is_number_float());
  // The stored threshold is the one the run uses; --param still overrides a stored value.
  ok("run _BinImage --params bin.json --in 0=in.npy --out 0=out.npy");
  EXPECT_EQ(out("out.npy"), std::string("\x00\xff\xff", 3));
  ok("run _BinImage --params bin.json --param above=7 --in 0=in.npy --out 0=out.npy");
  EXPECT_EQ(out("out.npy"), std::string("\x00\x07\x07", 3));
  // Without a file the values go to standard output.
  o = configure("Binarisation", "type 1006 9\nok\n");
  EXPECT_EQ(Json::parse(o.out)["processor"], "_BinImage");
  EXPECT_EQ(Json::parse(o.out)["params"]["above"], 9.0);
}

TEST_F(Configure, AnExistingFileIsTheStartAndAbsentValuesAreTheCatalogueDefaults) {
  put("scalar.json", R"({"processor": "_ScalarMultImage", "params": {"scalar": "2,5"}})");
  configure("_ScalarMultImage --params scalar.json", "ok\n");
  EXPECT_EQ(readJson(path("scalar.json"))["params"]["scalar"], 2.5);
  put("const.json", R"({"processor": "_ConstImage", "params": {"X": 7}})");
  configure("_ConstImage --params const.json", "ok\n");
  Json p = readJson(path("const.json"))["params"];
  EXPECT_EQ(std::tie(p["X"], p["Y"], p["scalar"]), std::tuple(Json(7), Json(100), Json(1.0)));
  EXPECT_TRUE(p["X"].is_number_integer());
}

TEST_F(Configure, CancelAndCloseWriteNothing) {
  const std::string before = R"({"processor": "_BinImage", "params": {"threshold": 50}})";
  put("bin.json", before);
  put("graph.json", kGraph);
  for (const char* actions : {"type 1005 100\ncancel\n", "type 1005 100\nclose\n"}) {
    configure("_BinImage --params bin.json", actions);
    configure("_BinImage --params new.json", actions);
    configure("graph.json bin", actions);
  }
  EXPECT_EQ(readFile(path("bin.json")), before);
  EXPECT_EQ(readFile(path("graph.json")), kGraph);
  EXPECT_EQ(files(), (Args{"actions.txt", "bin.json", "graph.json", "in.npy"}));
}

TEST_F(Configure, AGraphNodeIsEditedInPlaceKeepingEverythingElse) {
  put("graph.json", kGraph);
  configure("graph.json bin", "type 1005 11\nok\n");
  std::string expected = kGraph;
  const std::string old = R"({"threshold": 10})";
  expected.replace(expected.find(old), old.size(), R"({"above": 255.0, "below": 0.0, "threshold": 11.0})");
  EXPECT_EQ(readFile(path("graph.json")), expected);
  // A node without params gets them after its last field.
  configure("graph.json mult", "type 1008 3\nok\n");
  expected.replace(expected.find(R"("mult.npy"})"), 11, R"("mult.npy", "params": {"scalar": 3.0}})");
  EXPECT_EQ(readFile(path("graph.json")), expected);
  ok("graph graph.json");
  EXPECT_EQ(out("out.npy"), std::string("\x00\xff\xff", 3));
  EXPECT_EQ(out("mult.npy"), std::string("\x0f\x21\x60", 3));
}

TEST_F(Configure, GraphParameterFilesComeAfterTheGraphAndBeforeSet) {
  put("graph.json", kGraph);
  put("bin.json", R"({"processor": "_BinImage", "params": {"threshold": 4, "above": 9}})");
  ok("graph graph.json --params bin=bin.json");
  EXPECT_EQ(out("out.npy"), std::string("\x09\x09\x09", 3));
  ok("graph graph.json --params bin=bin.json --set bin.threshold=20 --set c.scalar=2,5");
  EXPECT_EQ(out("out.npy"), std::string("\x00\x00\x09", 3));
  EXPECT_EQ(values<double>(out("c.npy")), (std::vector<double>{2.5, 2.5}));
}

}  // namespace
