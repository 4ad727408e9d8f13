// Running kxrun and the tests' own readers and writers of .npy, TIFF and PNG files.
#include "Support.h"

#include <fcntl.h>
#include <png.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <atomic>
#include <csetjmp>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>

#include "kxhost/Plugin.h"

namespace clitest {

Outcome kxrun(const std::vector<std::string>& args, const fs::path& cwd, const std::vector<std::string>& env) {
  return kxrunAt(KXRUN_PATH, args, cwd, env);
}

Outcome kxrunAt(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                const std::vector<std::string>& env) {
  static std::atomic<int> counter{0};
  const fs::path base =
      fs::temp_directory_path() / ("rk_cli_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
  const std::string outPath = base.string() + ".out", errPath = base.string() + ".err";
  std::vector<std::string> argStore = {program};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    int in = open("/dev/null", O_RDONLY);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const char* var : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
      const char* old = std::getenv(var);
      std::string value = std::string(old && *old ? std::string(old) + ":" : "") + "exitcode=99";
      setenv(var, value.c_str(), 1);
    }
    for (const std::string& e : env) {
      std::size_t eq = e.find('=');
      setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  Outcome o;
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  o.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  o.out = readFile(outPath);
  o.err = readFile(errPath);
  fs::remove(outPath);
  fs::remove(errPath);
  return o;
}

bool available(const std::string& entry) {
  static kxhost::Plugin plugin(RK_PLUGIN_PATH, /*allowMissing=*/true);
  const ProcessorDescriptor* r = plugin.find(entry);
  return r && plugin.entry(r);
}

void Cli::SetUp() {
  std::string pattern = (fs::temp_directory_path() / "rk_cli_XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  dir_ = pattern;
}

void Cli::TearDown() {
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

std::vector<std::string> Cli::files() const {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir_)) {
    if (e.is_regular_file()) names.push_back(fs::relative(e.path(), dir_).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

Json readJson(const fs::path& p) { return Json::parse(readFile(p)); }

// ---- .npy -----------------------------------------------------------------------------------------

std::string npyBytes(const std::string& descr, const std::vector<int64_t>& shape, const std::string& data,
                     bool fortran) {
  std::string s;
  for (std::size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
  if (shape.size() == 1) s += ",";
  std::string header =
      "{'descr': '" + descr + "', 'fortran_order': " + (fortran ? "True" : "False") + ", 'shape': (" + s + "), }";
  header += std::string((64 - (10 + header.size() + 1) % 64) % 64, ' ') + "\n";
  std::string out = "\x93NUMPY\x01";
  out += '\0';
  out += static_cast<char>(header.size() & 0xff);
  out += static_cast<char>(header.size() >> 8);
  return out + header + data;
}

Npy readNpy(const fs::path& p) {
  std::string bytes = readFile(p);
  Npy n;
  EXPECT_EQ(bytes.substr(0, 6), "\x93NUMPY");
  if (bytes.size() < 10) return n;
  std::size_t len =
      static_cast<unsigned char>(bytes[8]) | static_cast<std::size_t>(static_cast<unsigned char>(bytes[9])) << 8;
  std::string header = bytes.substr(10, len);
  std::smatch m;
  if (std::regex_search(header, m, std::regex("'descr': '([^']*)'"))) n.descr = m[1];
  EXPECT_NE(header.find("'fortran_order': False"), std::string::npos) << header;
  if (std::regex_search(header, m, std::regex("'shape': \\(([^)]*)\\)"))) {
    std::string dims = m[1];
    std::regex number("[0-9]+");
    for (auto it = std::sregex_iterator(dims.begin(), dims.end(), number); it != std::sregex_iterator(); ++it) {
      n.shape.push_back(std::stoll(it->str()));
    }
  }
  EXPECT_EQ((10 + len) % 64, 0u) << "the data should start on a multiple of 64 bytes";
  n.data = bytes.substr(10 + len);
  return n;
}

// ---- TIFF -----------------------------------------------------------------------------------------

void writeTiff(const fs::path& p, const std::vector<Page>& pages) {
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
    if (page.planes > 1) {
      std::vector<uint16_t> extra(page.planes - 1u, EXTRASAMPLE_UNSPECIFIED);
      TIFFSetField(t, TIFFTAG_EXTRASAMPLES, static_cast<uint16_t>(extra.size()), extra.data());
    }
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 2u);
    if (!page.name.empty()) TIFFSetField(t, TIFFTAG_PAGENAME, page.name.c_str());
    std::size_t row = std::size_t(page.width) * page.planes * page.bits / 8;
    std::string data = page.data;
    for (uint32_t y = 0; y < page.height; ++y) TIFFWriteScanline(t, data.data() + row * y, y, 0);
    TIFFWriteDirectory(t);
  }
  TIFFClose(t);
}

std::vector<Page> readTiff(const fs::path& p) {
  std::vector<Page> pages;
  TIFF* t = TIFFOpen(p.c_str(), "r");
  EXPECT_NE(t, nullptr) << p;
  if (!t) return pages;
  do {
    Page page;
    uint16_t planar = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &page.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &page.height);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &page.planes);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &page.bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &page.format);
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
    EXPECT_EQ(planar, PLANARCONFIG_CONTIG);
    char* name = nullptr;
    if (TIFFGetField(t, TIFFTAG_PAGENAME, &name) && name) page.name = name;
    std::string line(static_cast<std::size_t>(TIFFScanlineSize(t)), '\0');
    for (uint32_t y = 0; y < page.height; ++y) {
      EXPECT_GE(TIFFReadScanline(t, line.data(), y, 0), 0);
      page.data += line;
    }
    pages.push_back(page);
  } while (TIFFReadDirectory(t));
  TIFFClose(t);
  return pages;
}

// ---- PNG ------------------------------------------------------------------------------------------

namespace {
bool pngWrite(png_structp png, png_infop info, const Picture& pic, std::vector<png_bytep>& rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, pic.width, pic.height, pic.depth,
               pic.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_text text{};
  text.compression = PNG_TEXT_COMPRESSION_NONE;
  text.key = const_cast<char*>("Title");
  text.text = const_cast<char*>(pic.title.c_str());
  if (!pic.title.empty()) png_set_text(png, info, &text, 1);
  png_write_info(png, info);
  png_write_image(png, rows.data());
  png_write_end(png, info);
  return true;
}
bool pngRead(png_structp png, png_infop info, Picture& pic, std::vector<unsigned char>& bytes) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  pic.width = png_get_image_width(png, info);
  pic.height = png_get_image_height(png, info);
  pic.depth = png_get_bit_depth(png, info);
  pic.channels = png_get_channels(png, info);
  std::size_t rowBytes = png_get_rowbytes(png, info);
  bytes.resize(rowBytes * pic.height);
  std::vector<png_bytep> rows(pic.height);
  for (uint32_t y = 0; y < pic.height; ++y) rows[y] = bytes.data() + rowBytes * y;
  png_read_image(png, rows.data());
  png_read_end(png, info);
  png_textp texts = nullptr;
  int n = png_get_text(png, info, &texts, nullptr);
  for (int i = 0; i < n; ++i) {
    if (std::string(texts[i].key) == "Title") pic.title = texts[i].text;
  }
  return true;
}
}  // namespace

void writePng(const fs::path& p, const Picture& pic) {
  std::vector<unsigned char> bytes;
  for (uint16_t v : pic.samples) {
    if (pic.depth == 16) bytes.push_back(static_cast<unsigned char>(v >> 8));
    bytes.push_back(static_cast<unsigned char>(v));
  }
  std::size_t rowBytes = bytes.size() / pic.height;
  std::vector<png_bytep> rows(pic.height);
  for (uint32_t y = 0; y < pic.height; ++y) rows[y] = bytes.data() + rowBytes * y;
  FILE* f = std::fopen(p.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  EXPECT_TRUE(pngWrite(png, info, pic, rows));
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

Picture readPng(const fs::path& p) {
  Picture pic;
  FILE* f = std::fopen(p.c_str(), "rb");
  EXPECT_NE(f, nullptr) << p;
  if (!f) return pic;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  std::vector<unsigned char> bytes;
  EXPECT_TRUE(pngRead(png, info, pic, bytes));
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  for (std::size_t k = 0; k < bytes.size(); k += pic.depth / 8) {
    pic.samples.push_back(pic.depth == 16 ? static_cast<uint16_t>(bytes[k] << 8 | bytes[k + 1]) : bytes[k]);
  }
  return pic;
}

}  // namespace clitest
