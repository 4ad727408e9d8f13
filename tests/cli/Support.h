// Test support for kxrun: a scratch directory per test, running the built program, and readers and
// writers of the stream formats written independently of kxrun's own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace clitest {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct Outcome {
  int status = -1;       // exit status; -1 when the program died of a signal
  std::string out, err;  // what it printed
};

// Runs kxrun with the arguments in the directory `cwd`. Sanitizer reports exit with 99, so that
// they never pass for an expected status 1 or 2.
Outcome kxrun(const std::vector<std::string>& args, const fs::path& cwd, const std::vector<std::string>& env = {});
// The same with another copy of the program.
Outcome kxrunAt(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                const std::vector<std::string>& env = {});

// Whether the plug-in as built exports the processor's entry.
bool available(const std::string& entry);

// A fresh scratch directory for each test.
class Cli : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  fs::path path(const std::string& name) const { return dir_ / name; }
  Outcome run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) const {
    return kxrun(args, dir_, env);
  }
  // Files in the scratch directory, hidden temporaries included.
  std::vector<std::string> files() const;
  fs::path dir_;
};

// ---- formats ------------------------------------------------------------------------------------

std::string readFile(const fs::path& p);
void writeFile(const fs::path& p, const std::string& bytes);
Json readJson(const fs::path& p);

// .npy: the header written field by field, data given as raw bytes.
std::string npyBytes(const std::string& descr, const std::vector<int64_t>& shape, const std::string& data,
                     bool fortran = false);
template <class T>
std::string raw(const std::vector<T>& values) {
  return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}
struct Npy {
  std::string descr;
  std::vector<int64_t> shape;
  std::string data;
  template <class T>
  std::vector<T> values() const {
    std::vector<T> v(data.size() / sizeof(T));
    std::memcpy(v.data(), data.data(), v.size() * sizeof(T));
    return v;
  }
};
Npy readNpy(const fs::path& p);

// TIFF pages of one sample format.
struct Page {
  uint32_t width = 0, height = 0;
  uint16_t planes = 1, bits = 8, format = 1;  // SAMPLEFORMAT_UINT
  std::string name;
  std::string data;  // rows of width * planes samples
};
void writeTiff(const fs::path& p, const std::vector<Page>& pages);
std::vector<Page> readTiff(const fs::path& p);

// 8- or 16-bit grey or RGB PNG.
struct Picture {
  uint32_t width = 0, height = 0;
  int channels = 1, depth = 8;
  std::vector<uint16_t> samples;
  std::string title;
};
void writePng(const fs::path& p, const Picture& picture);
Picture readPng(const fs::path& p);

}  // namespace clitest
