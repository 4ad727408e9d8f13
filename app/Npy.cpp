// The NumPy .npy format: one array of uint8 (or bool), int16, int32, float32 or float64 in either
// byte order and either memory order; shapes (Y, X), (Y, X, P) and (N, Y, X, P).
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Files.h"
#include "Text.h"

namespace kxrun {
namespace {

constexpr char kMagic[] = "\x93NUMPY";
constexpr std::size_t kMagicSize = 6;
// More matrices than this in one file means a malformed header, not an image stream.
constexpr int64_t kMaxMatrices = 1 << 20;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A value of the Python literal that forms the header: only what np.save writes is understood.
struct PyValue {
  enum Kind { String, Bool, Int, Sequence, Dict, None } kind = None;
  std::string text;
  bool flag = false;
  int64_t number = 0;
  // A Sequence's items, or a Dict's values beside their keys (a pair holding the incomplete
  // PyValue does not compile with every standard library).
  std::vector<PyValue> items;
  std::vector<std::string> keys;
};

class HeaderParser {
public:
  explicit HeaderParser(std::string_view text) : s_(text) {}

  PyValue parse() {
    PyValue v = value(0);
    skip();
    if (pos_ != s_.size()) fail();
    return v;
  }

private:
  [[noreturn]] void fail() { throw std::runtime_error("bad header"); }
  void skip() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) ++pos_;
  }
  bool eat(char c) {
    skip();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  PyValue value(int depth) {
    if (depth > 8) fail();
    skip();
    if (pos_ >= s_.size()) fail();
    PyValue v;
    char c = s_[pos_];
    if (c == '\'' || c == '"') {
      v.kind = PyValue::String;
      ++pos_;
      std::size_t end = s_.find(c, pos_);
      if (end == std::string_view::npos) fail();
      v.text = std::string(s_.substr(pos_, end - pos_));
      pos_ = end + 1;
    } else if (c == '{') {
      v.kind = PyValue::Dict;
      ++pos_;
      while (!eat('}')) {
        PyValue key = value(depth + 1);
        if (key.kind != PyValue::String || !eat(':')) fail();
        v.keys.push_back(key.text);
        v.items.push_back(value(depth + 1));
        if (!eat(',')) {
          if (!eat('}')) fail();
          break;
        }
      }
    } else if (c == '(' || c == '[') {
      char close = c == '(' ? ')' : ']';
      v.kind = PyValue::Sequence;
      ++pos_;
      while (!eat(close)) {
        v.items.push_back(value(depth + 1));
        if (!eat(',')) {
          if (!eat(close)) fail();
          break;
        }
      }
    } else if (s_.substr(pos_, 4) == "True") {
      v.kind = PyValue::Bool;
      v.flag = true;
      pos_ += 4;
    } else if (s_.substr(pos_, 5) == "False") {
      v.kind = PyValue::Bool;
      pos_ += 5;
    } else if (s_.substr(pos_, 4) == "None") {
      pos_ += 4;
    } else if (c >= '0' && c <= '9') {
      v.kind = PyValue::Int;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
        if (v.number > (INT64_MAX - 9) / 10) fail();
        v.number = v.number * 10 + (s_[pos_] - '0');
        ++pos_;
      }
      if (pos_ < s_.size() && s_[pos_] == 'L') ++pos_;  // files written by Python 2
    } else {
      fail();
    }
    return v;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

struct Dtype {
  kxType code;
  std::size_t size;
  bool swap;  // stored in the other byte order than this machine's
};

Dtype parseDescr(const std::string& descr, const fs::path& path) {
  std::string body = descr;
  char order = '=';
  if (!body.empty() && (body[0] == '<' || body[0] == '>' || body[0] == '|' || body[0] == '=')) {
    order = body[0];
    body = body.substr(1);
  }
  std::optional<Dtype> d;
  if (body == "u1" || body == "b1" || body == "?") d = Dtype{0, 1, false};
  if (body == "i2") d = Dtype{1, 2, false};
  if (body == "i4") d = Dtype{2, 4, false};
  if (body == "f4") d = Dtype{3, 4, false};
  if (body == "f8") d = Dtype{4, 8, false};
  if (!d) {
    if (!body.empty() && body[0] == 'O') {
      fileError(path, "dtype '" + descr + "' holds pickled Python objects, which kxrun does not read");
    }
    fileError(path, "dtype '" + descr + "' is not supported (kxrun reads uint8, int16, int32, float32 and float64)");
  }
  bool little = std::endian::native == std::endian::little;
  d->swap = d->size > 1 && ((order == '<' && !little) || (order == '>' && little));
  return *d;
}

void swapBytes(unsigned char* p, std::size_t count, std::size_t size) {
  for (std::size_t k = 0; k < count; ++k, p += size) {
    for (std::size_t a = 0, b = size - 1; a < b; ++a, --b) std::swap(p[a], p[b]);
  }
}

std::string shapeText(const std::vector<int64_t>& shape) {
  std::string s = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
  return s + (shape.size() == 1 ? ",)" : ")");
}

}  // namespace

FileStream readNpy(const fs::path& path) {
  uint64_t size = fileSize(path);
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) fileError(path, std::string("cannot open: ") + std::strerror(errno));

  unsigned char lead[12];
  if (size < 10 || std::fread(lead, 1, 10, f.get()) != 10 || std::memcmp(lead, kMagic, kMagicSize) != 0) {
    fileError(path, "not a .npy file (the magic string \\x93NUMPY is missing)");
  }
  int major = lead[6];
  uint64_t headerLength = 0;
  std::size_t prefix = 10;
  if (major == 1) {
    headerLength = uint64_t(lead[8]) | uint64_t(lead[9]) << 8;
  } else if (major == 2 || major == 3) {
    if (std::fread(lead + 10, 1, 2, f.get()) != 2) fileError(path, "truncated header");
    headerLength = uint64_t(lead[8]) | uint64_t(lead[9]) << 8 | uint64_t(lead[10]) << 16 | uint64_t(lead[11]) << 24;
    prefix = 12;
  } else {
    fileError(path, "unknown .npy format version " + std::to_string(major));
  }
  if (headerLength > size - prefix || headerLength > (1u << 20)) fileError(path, "truncated header");
  std::string header(headerLength, '\0');
  if (std::fread(header.data(), 1, headerLength, f.get()) != headerLength) fileError(path, "truncated header");

  PyValue dict;
  try {
    dict = HeaderParser(header).parse();
  } catch (const std::runtime_error&) {
    std::string shown = header.substr(0, header.find_last_not_of(" \n") + 1);
    fileError(path, "malformed header: " + toLatin1(shown));
  }
  if (dict.kind != PyValue::Dict) fileError(path, "malformed header: not a dictionary");
  const PyValue *descr = nullptr, *fortran = nullptr, *shapeValue = nullptr;
  for (std::size_t i = 0; i < dict.keys.size(); ++i) {
    const std::string& key = dict.keys[i];
    const PyValue& value = dict.items[i];
    if (key == "descr") descr = &value;
    if (key == "fortran_order") fortran = &value;
    if (key == "shape") shapeValue = &value;
  }
  if (!descr || !fortran || !shapeValue) fileError(path, "malformed header: descr, fortran_order or shape is missing");
  if (descr->kind != PyValue::String) {
    fileError(path, "dtype is a structured type; kxrun reads uint8, int16, int32, float32 and float64 arrays");
  }
  if (fortran->kind != PyValue::Bool) fileError(path, "malformed header: fortran_order is not True or False");
  if (shapeValue->kind != PyValue::Sequence) fileError(path, "malformed header: shape is not a tuple");
  Dtype dtype = parseDescr(descr->text, path);

  std::vector<int64_t> shape;
  for (const PyValue& v : shapeValue->items) {
    if (v.kind != PyValue::Int) fileError(path, "malformed header: shape holds a value that is not a whole number");
    shape.push_back(v.number);
  }
  // (Y, X), (Y, X, P) and (N, Y, X, P), all seen as (N, Y, X, P).
  std::vector<int64_t> dims;
  if (shape.size() == 2) dims = {1, shape[0], shape[1], 1};
  if (shape.size() == 3) dims = {1, shape[0], shape[1], shape[2]};
  if (shape.size() == 4) dims = shape;
  if (dims.empty()) {
    fileError(path, "shape " + shapeText(shape) + " is not (Y, X), (Y, X, P) or (N, Y, X, P)");
  }
  for (int64_t d : dims) {
    if (d > INT32_MAX) fileError(path, "shape " + shapeText(shape) + " is too large for the host");
  }
  if (dims[0] > kMaxMatrices) fileError(path, "shape " + shapeText(shape) + ": too many matrices for the host");

  uint64_t available = size - prefix - headerLength;
  const auto n = static_cast<std::size_t>(dims[0]);
  // The whole array must be in the file before any matrix is allocated.
  uint64_t bytesEach = matrixBytes(dtype.code, dims[2], dims[1], dims[3], path);
  uint64_t needed = bytesEach * n;
  if (needed > available) {
    fileError(path, "truncated: shape " + shapeText(shape) + " needs " + std::to_string(needed) +
                        " bytes of data, the file has " + std::to_string(available));
  }
  if (needed < available) {
    fileError(path, "malformed: " + std::to_string(available - needed) + " bytes follow the data that shape " +
                        shapeText(shape) + " declares");
  }
  FileStream out;
  out.type = dtype.code;
  for (std::size_t i = 0; i < n; ++i) {
    addMatrix(out.stream, dtype.code, dims[2], dims[1], dims[3], defaultName(path, i, n), path, available);
  }

  if (!fortran->flag || needed == 0) {
    for (auto& m : out.stream.matrices) {
      if (std::fread(m->data(), 1, m->bytes(), f.get()) != m->bytes()) fileError(path, "cannot read the data");
      if (dtype.swap) swapBytes(static_cast<unsigned char*>(m->data()), m->count(), dtype.size);
    }
  } else {
    // Column-major data: element (i, y, x, p) lies at i + N * (y + Y * (x + X * p)). It is read in
    // pieces that are scattered to the matrices, so that the file is never held beside them.
    const uint64_t N = n, Y = uint64_t(dims[1]), X = uint64_t(dims[2]), P = uint64_t(dims[3]);
    std::vector<unsigned char*> bases(n);
    for (std::size_t i = 0; i < n; ++i) bases[i] = static_cast<unsigned char*>(out.stream.matrices[i]->data());
    std::vector<unsigned char> piece(static_cast<std::size_t>(std::min<uint64_t>(needed, uint64_t(1) << 20)));
    uint64_t i = 0, y = 0, x = 0, p = 0;
    for (uint64_t done = 0; done < needed;) {
      const auto length = static_cast<std::size_t>(std::min<uint64_t>(piece.size(), needed - done));
      if (std::fread(piece.data(), 1, length, f.get()) != length) fileError(path, "cannot read the data");
      if (dtype.swap) swapBytes(piece.data(), length / dtype.size, dtype.size);
      for (std::size_t at = 0; at < length; at += dtype.size) {
        std::memcpy(bases[i] + ((y * X + x) * P + p) * dtype.size, piece.data() + at, dtype.size);
        if (++i == N) {
          i = 0;
          if (++y == Y) {
            y = 0;
            if (++x == X) {
              x = 0;
              ++p;
            }
          }
        }
      }
      done += length;
    }
  }
  return out;
}

void writeNpy(const fs::path& file, const fs::path& shownAs, kxType type, const kxhost::Stream& stream) {
  static const char* const kDescr[] = {"u1", "i2", "i4", "f4", "f8"};
  const auto& ms = stream.matrices;
  for (std::size_t i = 1; i < ms.size(); ++i) {
    const kxMInfo &a = ms[0]->info(), &b = ms[i]->info();
    if (a.X != b.X || a.Y != b.Y || a.Planes != b.Planes) {
      fileError(shownAs, "the matrices of this stream differ in size (matrix 0 is " + std::to_string(a.X) + " x " +
                             std::to_string(a.Y) + " x " + std::to_string(a.Planes) + ", matrix " + std::to_string(i) +
                             " is " + std::to_string(b.X) + " x " + std::to_string(b.Y) + " x " +
                             std::to_string(b.Planes) + "), which one .npy array cannot hold: write it as .tif");
    }
  }
  // Sizes of zero or below give matrices without elements; the array shows them as 0.
  auto dim = [](int32_t v) { return std::to_string(v > 0 ? v : 0); };
  std::string shape(1, '(');
  shape.append(std::to_string(ms.size())).append(", ");
  if (ms.empty()) {
    shape.append("0, 0, 1");
  } else {
    const kxMInfo& info = ms[0]->info();
    shape.append(dim(info.Y)).append(", ").append(dim(info.X)).append(", ").append(dim(info.Planes));
  }
  shape.push_back(')');
  char order = type == 0 ? '|' : (std::endian::native == std::endian::little ? '<' : '>');
  std::string header =
      std::string("{'descr': '") + order + kDescr[type] + "', 'fortran_order': False, 'shape': " + shape + ", }";
  // The header is padded with blanks so that the data starts on a multiple of 64 bytes.
  std::size_t total = kMagicSize + 4 + header.size() + 1;
  header.append((64 - total % 64) % 64, ' ');
  header.push_back('\n');

  File f(std::fopen(file.c_str(), "wb"));
  if (!f) fileError(shownAs, std::string("cannot write: ") + std::strerror(errno));
  std::string lead(kMagic, kMagicSize);
  lead.push_back('\x01');
  lead.push_back('\x00');
  lead.push_back(static_cast<char>(header.size() & 0xff));
  lead.push_back(static_cast<char>(header.size() >> 8));
  bool ok = std::fwrite(lead.data(), 1, lead.size(), f.get()) == lead.size() &&
            std::fwrite(header.data(), 1, header.size(), f.get()) == header.size();
  for (const auto& m : ms) ok = ok && std::fwrite(m->data(), 1, m->bytes(), f.get()) == m->bytes();
  ok = std::fclose(f.release()) == 0 && ok;
  if (!ok) fileError(shownAs, "cannot write: the disk may be full");
}

}  // namespace kxrun
