// The page `kxrun graph --html` writes, opened in headless Chromium: every picture loads, no
// script fails, the drawing has one box per node, and the failed node and those after it are marked.
#include <cstdlib>
#include <regex>

#include "Support.h"

using namespace clitest;

namespace {

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
