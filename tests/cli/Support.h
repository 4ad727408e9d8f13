// Test support for kxrun: a scratch directory per test, running the built program, and readers and
// writers of the stream formats written independently of kxrun's own.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

namespace clitest {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Args = std::vector<std::string>;

struct Outcome {
  int status = -1;       // exit status; -1 when the program died of a signal
  std::string out, err;  // what it printed
};

inline std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
inline void writeFile(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }
inline Json readJson(const fs::path& p) { return Json::parse(readFile(p), nullptr, true, true); }

// Starts the program in `cwd` with its output on the descriptors. Sanitizer reports exit with 99,
// so that they never pass for an expected status 1 or 2.
inline pid_t spawn(const std::string& program, const Args& args, const fs::path& cwd, const Args& env, int out,
                   int err) {
  Args store = {program};
  store.insert(store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : store) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir(cwd.c_str()) != 0) _exit(126);
  dup2(open("/dev/null", O_RDONLY), 0);
  dup2(out, 1);
  dup2(err, 2);
  // The test's own handling of the signals must not be inherited.
  for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
  for (const char* var : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
    const char* old = std::getenv(var);
    setenv(var, (std::string(old && *old ? std::string(old) + ":" : "") + "exitcode=99").c_str(), 1);
  }
  for (const std::string& e : env) setenv(e.substr(0, e.find('=')).c_str(), e.substr(e.find('=') + 1).c_str(), 1);
  execv(argv[0], argv.data());
  _exit(127);
}

inline Outcome kxrun(const Args& args, const fs::path& cwd, const Args& env = {},
                     const std::string& program = KXRUN_PATH) {
  static std::atomic<int> counter{0};
  const std::string base =
      (fs::temp_directory_path() / "rk_cli_").string() + std::to_string(getpid()) + "_" + std::to_string(counter++);
  int out = open((base + ".out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  int err = open((base + ".err").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  int wstatus = 0;
  waitpid(spawn(program, args, cwd, env, out, err), &wstatus, 0);
  close(out);
  close(err);
  Outcome o{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1, readFile(base + ".out"), readFile(base + ".err")};
  fs::remove(base + ".out");
  fs::remove(base + ".err");
  return o;
}

// The words of a command line (no test argument holds a space).
inline Args words(const std::string& line) {
  std::istringstream in(line);
  return Args(std::istream_iterator<std::string>(in), std::istream_iterator<std::string>());
}

// The exit status and a fragment of the message on an "error: " line.
inline ::testing::AssertionResult fails(const Outcome& o, int status, const std::string& fragment) {
  const std::size_t error = ("\n" + o.err).find("\nerror: ");
  if (o.status == status && error != std::string::npos && o.err.find(fragment, error) != std::string::npos)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected status " << status << " and \"" << fragment << "\", got "
                                       << o.status << ": " << o.err;
}

// A fresh scratch directory for each test.
class Cli : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "rk_cli_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
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
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir_))
      if (e.is_regular_file()) names.push_back(fs::relative(e.path(), dir_).string());
    std::sort(names.begin(), names.end());
    return names;
  }
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
inline std::string npyBytes(const std::string& descr, const std::vector<int64_t>& shape, const std::string& data,
                            bool fortran = false) {
  std::string s;
  for (std::size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
  std::string header = "{'descr': '" + descr + "', 'fortran_order': " + (fortran ? "True" : "False") + ", 'shape': (" +
                       s + (shape.size() == 1 ? ",), }" : "), }");
  header += std::string((64 - (10 + header.size() + 1) % 64) % 64, ' ') + "\n";
  return std::string("\x93NUMPY\x01\x00", 8) + static_cast<char>(header.size() & 0xff) +
         static_cast<char>(header.size() >> 8) + header + data;
}

struct Npy {
  std::string descr;
  std::vector<int64_t> shape;
  std::string data;
};
inline Npy readNpy(const fs::path& p) {
  const std::string bytes = readFile(p);
  Npy n;
  EXPECT_EQ(bytes.substr(0, 6), "\x93NUMPY");
  if (bytes.size() < 10) return n;
  const std::size_t len = static_cast<unsigned char>(bytes[8]) | std::size_t(static_cast<unsigned char>(bytes[9])) << 8;
  const std::string header = bytes.substr(10, len);
  std::smatch m;
  if (std::regex_search(header, m, std::regex("'descr': '([^']*)'"))) n.descr = m[1];
  EXPECT_NE(header.find("'fortran_order': False"), std::string::npos) << header;
  if (std::regex_search(header, m, std::regex("'shape': \\(([^)]*)\\)"))) {
    const std::string dims = m[1];
    const std::regex number("[0-9]+");
    for (std::sregex_iterator it(dims.begin(), dims.end(), number), end; it != end; ++it)
      n.shape.push_back(std::stoll(it->str()));
  }
  EXPECT_EQ((10 + len) % 64, 0u) << "the data should start on a multiple of 64 bytes";
  n.data = bytes.substr(10 + len);
  return n;
}

// TIFF pages of one sample format, rows of width * planes samples.
struct Page {
  uint32_t width = 0, height = 0;
  uint16_t planes = 1, bits = 8, format = 1;  // SAMPLEFORMAT_UINT
  std::string name, data;
};
inline void writeTiff(const fs::path& p, const std::vector<Page>& pages) {
  TIFF* t = TIFFOpen(p.c_str(), "w");
  ASSERT_NE(t, nullptr);
  for (const Page& page : pages) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, page.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, page.height);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, page.planes);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, page.bits);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, page.format);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    std::vector<uint16_t> extra(page.planes - 1u, EXTRASAMPLE_UNSPECIFIED);
    if (page.planes > 1) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, static_cast<uint16_t>(extra.size()), extra.data());
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 2u);
    if (!page.name.empty()) TIFFSetField(t, TIFFTAG_PAGENAME, page.name.c_str());
    std::string data = page.data;
    const std::size_t row = std::size_t(page.width) * page.planes * page.bits / 8;
    for (uint32_t y = 0; y < page.height; ++y) TIFFWriteScanline(t, data.data() + row * y, y, 0);
    TIFFWriteDirectory(t);
  }
  TIFFClose(t);
}

inline std::vector<Page> readTiff(const fs::path& p) {
  std::vector<Page> pages;
  TIFF* t = TIFFOpen(p.c_str(), "r");
  EXPECT_NE(t, nullptr) << p;
  if (!t) return pages;
  do {
    Page page;
    uint16_t planar = 0;
    char* name = nullptr;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &page.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &page.height);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &page.planes);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &page.bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &page.format);
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
    EXPECT_EQ(planar, PLANARCONFIG_CONTIG);
    if (TIFFGetField(t, TIFFTAG_PAGENAME, &name) && name) page.name = name;
    std::string line(static_cast<std::size_t>(TIFFScanlineSize(t)), '\0');
    for (uint32_t y = 0; y < page.height; ++y, page.data += line) EXPECT_GE(TIFFReadScanline(t, line.data(), y, 0), 0);
    pages.push_back(page);
  } while (TIFFReadDirectory(t));
  TIFFClose(t);
  return pages;
}

// 8- or 16-bit grey or RGB PNG, with alpha when the channels are 2 or 4; the title is a "Title" text
// chunk.
struct Picture {
  uint32_t width = 0, height = 0;
  int channels = 1, depth = 8;
  std::vector<uint16_t> samples;
  std::string title;
};
inline std::string pngChunk(const std::string& type, const std::string& data) {
  auto be32 = [](uLong v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
  const std::string body = type + data;
  return be32(data.size()) + body + be32(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size())));
}

// libpng's simplified interface; 16-bit samples go through its linear formats, which store them as
// given.
inline void writePng(const fs::path& p, const Picture& pic) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = pic.width;
  image.height = pic.height;
  image.format = (pic.channels >= 3 ? PNG_FORMAT_FLAG_COLOR : 0) | (pic.channels % 2 == 0 ? PNG_FORMAT_FLAG_ALPHA : 0) |
                 (pic.depth == 16 ? PNG_FORMAT_FLAG_LINEAR : 0);
  std::vector<uint8_t> narrow(pic.samples.begin(), pic.samples.end());
  const void* data = pic.depth == 16 ? static_cast<const void*>(pic.samples.data()) : narrow.data();
  png_alloc_size_t size = 0;
  ASSERT_TRUE(png_image_write_get_memory_size(image, size, 0, data, 0, nullptr)) << image.message;
  std::string bytes(size, '\0');
  ASSERT_TRUE(png_image_write_to_memory(&image, bytes.data(), &size, 0, data, 0, nullptr)) << image.message;
  bytes.resize(size);
  if (!pic.title.empty()) bytes.insert(33, pngChunk("tEXt", "Title" + std::string(1, '\0') + pic.title));
  writeFile(p, bytes);
}

inline Picture readPng(const fs::path& p) {
  const std::string bytes = readFile(p);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Picture pic;
  EXPECT_TRUE(png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) << p << image.message;
  pic.width = image.width;
  pic.height = image.height;
  pic.channels = PNG_IMAGE_SAMPLE_CHANNELS(image.format);
  pic.depth = image.format & PNG_FORMAT_FLAG_LINEAR ? 16 : 8;
  std::vector<uint8_t> data(PNG_IMAGE_SIZE(image));
  EXPECT_TRUE(png_image_finish_read(&image, nullptr, data.data(), 0, nullptr)) << p << image.message;
  pic.samples.assign(data.begin(), data.end());
  const std::size_t at = bytes.find("tEXtTitle");
  if (at != std::string::npos) {
    const std::size_t len = static_cast<std::size_t>(static_cast<unsigned char>(bytes[at - 2]) << 8 |
                                                     static_cast<unsigned char>(bytes[at - 1]));
    pic.title = bytes.substr(at + 10, len - 6);
  }
  return pic;
}

}  // namespace clitest
