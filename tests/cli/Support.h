// Test support for kxrun: a scratch directory per test, running the built program, and readers and
// writers of the stream formats written independently of kxrun's own.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

namespace clitest {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Args = std::vector<std::string>;

struct Outcome {
  int status = -1;       // exit status; -1 when the program died of a signal
  std::string out, err;  // what it printed
};

// Starts the program in `cwd` with its output on the descriptors. Sanitizer reports exit with 99,
// so that they never pass for an expected status 1 or 2.
pid_t spawn(const std::string& program, const Args& args, const fs::path& cwd, const Args& env, int out, int err);
Outcome kxrun(const Args& args, const fs::path& cwd, const Args& env = {}, const std::string& program = KXRUN_PATH);
// The words of a command line (no test argument holds a space).
Args words(const std::string& line);
// The exit status and a fragment of the message on an "error: " line.
::testing::AssertionResult fails(const Outcome& o, int status, const std::string& fragment);

std::string readFile(const fs::path& p);
inline void writeFile(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }
inline Json readJson(const fs::path& p) { return Json::parse(readFile(p), nullptr, true, true); }

// A fresh scratch directory for each test.
class Cli : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path path(const std::string& name) const { return dir_ / name; }
  void put(const std::string& name, const std::string& bytes) const { writeFile(path(name), bytes); }
  Outcome run(const std::string& line, const Args& env = {}) const { return kxrun(words(line), dir_, env); }
  // Runs a command that should succeed.
  Outcome ok(const std::string& line) const {
    Outcome o = run(line);
    EXPECT_EQ(o.status, 0) << line << "\n" << o.err;
    return o;
  }
  // Files in the scratch directory, hidden temporaries included.
  std::vector<std::string> files() const;
  fs::path dir_;
};

template <class T>
std::string raw(const std::vector<T>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}
template <class T>
std::vector<T> values(const std::string& s) {
  std::vector<T> v(s.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), s.data(), v.size() * sizeof(T));
  return v;
}

// .npy: the header written field by field, data given as raw bytes.
std::string npyBytes(const std::string& descr, const std::vector<int64_t>& shape, const std::string& data,
                     bool fortran = false);
struct Npy {
  std::string descr;
  std::vector<int64_t> shape;
  std::string data;
};
Npy readNpy(const fs::path& p);

// TIFF pages of one sample format, rows of width * planes samples.
struct Page {
  uint32_t width = 0, height = 0;
  uint16_t planes = 1, bits = 8, format = 1;  // SAMPLEFORMAT_UINT
  std::string name, data;
};
void writeTiff(const fs::path& p, const std::vector<Page>& pages);
std::vector<Page> readTiff(const fs::path& p);

// 8- or 16-bit grey or RGB PNG; the title is a "Title" text chunk.
struct Picture {
  uint32_t width = 0, height = 0;
  int channels = 1, depth = 8;
  std::vector<uint16_t> samples;
  std::string title;
};
std::string pngChunk(const std::string& type, const std::string& data);
void writePng(const fs::path& p, const Picture& picture);
Picture readPng(const fs::path& p);

}  // namespace clitest
