// kxrun configure: parameter files and graph nodes edited through the processors' own dialogs,
// driven by action scripts, and the parameter files used by run and graph.
#include "Support.h"

using namespace clitest;

namespace {

class Configure : public Cli {
protected:
  // Writes an action script and returns its name.
  std::string script(const std::string& actions) const {
    writeFile(path("actions.txt"), actions);
    return "actions.txt";
  }
};

TEST_F(Configure, OkWritesEveryParameterOfTheEntryAndRunUsesThem) {
  Outcome o = run({"configure", "_BinImage", "--params", "bin.json", "--script", script("type 1005 100\nok\n")});
  ASSERT_EQ(o.status, 0) << o.err;
  Json p = readJson(path("bin.json"));
  EXPECT_EQ(p["processor"], "_BinImage");
  ASSERT_EQ(p["params"].size(), 3u);
  EXPECT_TRUE(p["params"]["above"].is_number_float());
  EXPECT_EQ(p["params"]["above"], 255.0);
  EXPECT_EQ(p["params"]["below"], 0.0);
  EXPECT_EQ(p["params"]["threshold"], 100.0);

  // The stored threshold is the one the run uses; --param still overrides a stored value.
  writeFile(path("in.npy"), npyBytes("|u1", {1, 3}, std::string("\x63\x64\x65", 3)));
  o = run({"run", "_BinImage", "--params", "bin.json", "--in", "0=in.npy", "--out", "0=out.npy"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(readNpy(path("out.npy")).data, std::string("\x00\xff\xff", 3));
  o = run({"run", "_BinImage", "--params", "bin.json", "--param", "above=7", "--in", "0=in.npy", "--out", "0=out.npy"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(readNpy(path("out.npy")).data, std::string("\x00\x07\x07", 3));
}

TEST_F(Configure, AnExistingFileIsTheStartAndAbsentValuesAreTheCatalogueDefaults) {
  writeFile(path("scalar.json"), R"({"processor": "_ScalarMultImage", "params": {"scalar": "2,5"}})");
  Outcome o = run({"configure", "_ScalarMultImage", "--params", "scalar.json", "--script", script("ok\n")});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(readJson(path("scalar.json"))["params"]["scalar"], 2.5);

  writeFile(path("const.json"), R"({"processor": "_ConstImage", "params": {"X": 7}})");
  o = run({"configure", "_ConstImage", "--params", "const.json", "--script", script("ok\n")});
  ASSERT_EQ(o.status, 0) << o.err;
  Json p = readJson(path("const.json"))["params"];
  EXPECT_EQ(p["X"], 7);
  EXPECT_TRUE(p["X"].is_number_integer());
  EXPECT_EQ(p["Y"], 100);
  EXPECT_EQ(p["scalar"], 1.0);
}

TEST_F(Configure, CancelCloseAndFailuresWriteNothing) {
  const std::string before = R"({"processor": "_BinImage", "params": {"threshold": 50}})";
  writeFile(path("bin.json"), before);
  for (const char* actions :
       {"type 1005 100\ncancel\n", "type 1005 100\nclose\n", "type 1005 100\n", "click 4711\nok\n"}) {
    Outcome o = run({"configure", "_BinImage", "--params", "bin.json", "--script", script(actions)});
    EXPECT_EQ(o.status, std::string(actions).find("cancel") != std::string::npos ||
                                std::string(actions).find("close") != std::string::npos
                            ? 0
                            : 2)
        << actions << o.err;
    EXPECT_EQ(readFile(path("bin.json")), before) << actions;
    EXPECT_EQ(files(), (std::vector<std::string>{"actions.txt", "bin.json"})) << actions;
  }
  // Cancel leaves no new file either.
  Outcome o = run({"configure", "_BinImage", "--params", "new.json", "--script", script("cancel\n")});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_FALSE(fs::exists(path("new.json")));
}

TEST_F(Configure, RefusesWhatItCannotConfigure) {
  writeFile(path("other.json"), R"({"processor": "_ConstImage", "params": {}})");
  Outcome o = run({"configure", "_BinImage", "--params", "other.json", "--script", script("ok\n")});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("for _ConstImage, not for _BinImage"), std::string::npos) << o.err;

  o = run({"configure", "_AddImage", "--params", "add.json", "--script", script("ok\n")});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("_AddImage has no dialog"), std::string::npos) << o.err;

  o = run({"configure", "_Nothing", "--script", script("ok\n")});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("unknown processor '_Nothing'"), std::string::npos) << o.err;

  writeFile(path("bad.json"), R"({"processor": "_BinImage", "params": {"threshold": "high"}})");
  o = run({"configure", "_BinImage", "--params", "bad.json", "--script", script("ok\n")});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("bad.json: params.threshold: 'high' is not a number"), std::string::npos) << o.err;

  // Without a display the window cannot open: said clearly, nothing written.
  o = run({"configure", "_BinImage", "--params", "bin.json"}, {"DISPLAY="});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("no display"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("--script"), std::string::npos) << o.err;
  EXPECT_FALSE(fs::exists(path("bin.json")));
}

TEST_F(Configure, WithoutAFileTheValuesGoToStandardOutput) {
  Outcome o = run({"configure", "Binarisation", "--script", script("type 1006 9\nok\n")});
  ASSERT_EQ(o.status, 0) << o.err;
  Json p = Json::parse(o.out);
  EXPECT_EQ(p["processor"], "_BinImage");
  EXPECT_EQ(p["params"]["above"], 9.0);
}

const std::string kGraph = R"({
  // The threshold is tuned by hand.
  "nodes": {
    "in":   {"file": "in.npy"},
    "bin":  {"processor": "_BinImage", "in": "in",
             "params": {"threshold": 10}, /* set by kxrun configure */ "write": "out.npy"},
    "mult": {"processor": "_ScalarMultImage", "in": "in", "write": "mult.npy"}
  }
})";

TEST_F(Configure, AGraphNodeIsEditedInPlaceKeepingEverythingElse) {
  writeFile(path("graph.json"), kGraph);
  writeFile(path("in.npy"), npyBytes("|u1", {1, 3}, std::string("\x05\x0b\x20", 3)));
  Outcome o = run({"configure", "graph.json", "bin", "--script", script("type 1005 11\nok\n")});
  ASSERT_EQ(o.status, 0) << o.err;
  std::string expected = kGraph;
  const std::string old = R"({"threshold": 10})";
  expected.replace(expected.find(old), old.size(), R"({"above": 255.0, "below": 0.0, "threshold": 11.0})");
  EXPECT_EQ(readFile(path("graph.json")), expected);

  // A node without params gets them after its last field.
  o = run({"configure", "graph.json", "mult", "--script", script("type 1008 3\nok\n")});
  ASSERT_EQ(o.status, 0) << o.err;
  std::string text = readFile(path("graph.json"));
  EXPECT_NE(text.find(R"("write": "mult.npy", "params": {"scalar": 3.0}})"), std::string::npos) << text;
  EXPECT_NE(text.find("// The threshold is tuned by hand."), std::string::npos);

  o = run({"graph", "graph.json"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(readNpy(path("out.npy")).data, std::string("\x00\xff\xff", 3));
  EXPECT_EQ(readNpy(path("mult.npy")).data, std::string("\x0f\x21\x60", 3));
}

TEST_F(Configure, AGraphNodeCancelledOrUnknownIsLeftAlone) {
  writeFile(path("graph.json"), kGraph);
  Outcome o = run({"configure", "graph.json", "bin", "--script", script("type 1005 11\ncancel\n")});
  EXPECT_EQ(o.status, 0) << o.err;
  o = run({"configure", "graph.json", "nobody", "--script", script("ok\n")});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("there is no node 'nobody'"), std::string::npos) << o.err;
  o = run({"configure", "graph.json", "in", "--script", script("ok\n")});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("not a processor node"), std::string::npos) << o.err;
  EXPECT_EQ(readFile(path("graph.json")), kGraph);
  EXPECT_EQ(files(), (std::vector<std::string>{"actions.txt", "graph.json"}));
}

TEST_F(Configure, GraphParameterFilesComeAfterTheGraphAndBeforeSet) {
  writeFile(path("graph.json"), kGraph);
  writeFile(path("in.npy"), npyBytes("|u1", {1, 3}, std::string("\x05\x0b\x20", 3)));
  writeFile(path("bin.json"), R"({"processor": "_BinImage", "params": {"threshold": 4, "above": 9}})");
  Outcome o = run({"graph", "graph.json", "--params", "bin=bin.json"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(readNpy(path("out.npy")).data, std::string("\x09\x09\x09", 3));
  o = run({"graph", "graph.json", "--params", "bin=bin.json", "--set", "bin.threshold=20"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(readNpy(path("out.npy")).data, std::string("\x00\x00\x09", 3));

  o = run({"graph", "graph.json", "--params", "mult=bin.json"});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("for _BinImage, not for _ScalarMultImage"), std::string::npos) << o.err;
}

}  // namespace
