// Parameter values in JSON, parameter files, and the in-place edit of one node of a graph file.
#include "Params.h"

#include <cmath>
#include <fstream>
#include <iterator>

#include "Graph.h"
#include "Text.h"
#include "kxhost/Runtime.h"

namespace kxrun {

int paramIndex(const ProcessorDescriptor* record, const std::string& name) {
  const std::string latin1 = toLatin1(name);
  int k = 0;
  for (const ParameterDescriptor* p = record->params; p && p->name; ++p, ++k) {
    if (latin1 == p->name) return k;
  }
  return -1;
}

std::string paramNames(const ProcessorDescriptor* record) {
  std::string s;
  for (const ParameterDescriptor* p = record->params; p && p->name; ++p) s += (s.empty() ? "" : ", ") + toUtf8(p->name);
  return s.empty() ? "it has none" : "it has " + s;
}

tagVARIANT paramValue(const ParameterDescriptor& desc, const Json& value, std::string* text) {
  std::string written;
  if (value.is_string()) {
    written = value.get<std::string>();
  } else if (value.is_number()) {
    written = value.dump();
  } else {
    throw UsageError("expected a number, or a text such as \"0,5\"");
  }
  if (text) *text = written;
  // A JSON number is taken as the double it denotes; its decimal text is only a fallback for
  // integers, whose range parseParameter checks.
  if (desc.type == 4 && value.is_number()) {
    tagVARIANT v{};
    v.vt = VT_R8;
    v.dblVal = value.get<double>();
    return v;
  }
  try {
    return kxhost::parseParameter(desc.type, written);
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
}

ParamValues paramValues(const ProcessorDescriptor* record, const Json& params, const std::string& where) {
  if (!params.is_object()) throw UsageError(where + ": expected an object of parameter names and values");
  ParamValues values;
  for (const auto& [name, v] : params.items()) {
    int index = paramIndex(record, name);
    if (index < 0) {
      throw UsageError(where + "." + name + ": unknown parameter of " + record->entry + " (" + paramNames(record) +
                       ")");
    }
    try {
      values.emplace_back(index, paramValue(record->params[index], v));
    } catch (const UsageError& e) {
      throw UsageError(where + "." + name + ": " + e.what());
    }
  }
  return values;
}

Json paramJson(const tagVARIANT& value) {
  switch (value.vt) {
    case VT_I4:
      return value.lVal;
    case VT_R8:
      if (std::isnan(value.dblVal)) return "nan";
      if (std::isinf(value.dblVal)) return value.dblVal > 0 ? "inf" : "-inf";
      return value.dblVal;
    default:
      throw UsageError("a parameter holds a value of variant type " + std::to_string(value.vt) +
                       ", which parameter files cannot hold");
  }
}

Json paramsJson(const ProcessorDescriptor* record, const std::vector<tagVARIANT>& values) {
  Json params = Json::object();
  std::size_t k = 0;
  for (const ParameterDescriptor* p = record->params; p && p->name && k < values.size(); ++p, ++k) {
    params[toUtf8(p->name)] = paramJson(values[k]);
  }
  return params;
}

ParamValues readParamFile(const ProcessorDescriptor* record, const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError(path.string() + ": cannot open the parameter file");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string source = path.string();
  Json doc = parseJson(text, source);
  if (!doc.is_object())
    throw UsageError(source + ": a parameter file is a JSON object with \"processor\" and \"params\"");
  for (const auto& [key, v] : doc.items()) {
    if (key != "processor" && key != "params") {
      throw UsageError(source + ": " + key + ": unknown field (a parameter file has \"processor\" and \"params\")");
    }
  }
  if (!doc.contains("processor") || !doc["processor"].is_string()) {
    throw UsageError(source + ": processor: expected the entry name of the processor the values are for");
  }
  const std::string processor = doc["processor"].get<std::string>();
  if (toLatin1(processor) != record->entry && toLatin1(processor) != record->displayName) {
    throw UsageError(source + ": the values are for " + processor + ", not for " + record->entry);
  }
  if (!doc.contains("params")) return {};
  return paramValues(record, doc["params"], source + ": params");
}

std::string paramFileText(const ProcessorDescriptor* record, const std::vector<tagVARIANT>& values) {
  Json doc = Json::object();
  doc["processor"] = toUtf8(record->entry);
  doc["params"] = paramsJson(record, values);
  return doc.dump(2) + "\n";
}

// ---- editing a graph file in place ---------------------------------------------------------------

namespace {

// Finds the spans of JSON values in text that may hold // and /* */ comments. It only walks text
// that parseJson has accepted, so it never has to report malformed input.
class Scanner {
public:
  explicit Scanner(const std::string& text) : s_(text) {}

  void skipBlank(std::size_t& i) const {
    while (i < s_.size()) {
      if (std::isspace(static_cast<unsigned char>(s_[i]))) {
        ++i;
      } else if (s_.compare(i, 2, "//") == 0) {
        while (i < s_.size() && s_[i] != '\n') ++i;
      } else if (s_.compare(i, 2, "/*") == 0) {
        std::size_t end = s_.find("*/", i + 2);
        i = end == std::string::npos ? s_.size() : end + 2;
      } else {
        return;
      }
    }
  }

  // i at an opening quote; returns the index past the closing one.
  std::size_t skipString(std::size_t i) const {
    for (++i; i < s_.size(); ++i) {
      if (s_[i] == '\\') {
        ++i;
      } else if (s_[i] == '"') {
        return i + 1;
      }
    }
    return s_.size();
  }

  // i at the start of a value; returns the index past its end.
  std::size_t skipValue(std::size_t i) const {
    if (s_[i] == '"') return skipString(i);
    if (s_[i] == '{' || s_[i] == '[') {
      int depth = 0;
      while (i < s_.size()) {
        skipBlank(i);
        if (i >= s_.size()) break;
        char c = s_[i];
        if (c == '"') {
          i = skipString(i);
          continue;
        }
        if (c == '{' || c == '[') ++depth;
        if (c == '}' || c == ']') {
          if (--depth == 0) return i + 1;
        }
        ++i;
      }
      return s_.size();
    }
    while (i < s_.size() && s_[i] != ',' && s_[i] != '}' && s_[i] != ']' && s_[i] != '/' &&
           !std::isspace(static_cast<unsigned char>(s_[i]))) {
      ++i;
    }
    return i;
  }

  struct Member {
    std::string key;
    std::size_t valueBegin, valueEnd;
  };

  // The members of the object whose '{' is at i, and the index of its closing '}' in *close.
  std::vector<Member> members(std::size_t i, std::size_t* close) const {
    std::vector<Member> out;
    ++i;
    for (;;) {
      skipBlank(i);
      if (i >= s_.size() || s_[i] == '}') break;
      if (s_[i] == ',') {
        ++i;
        continue;
      }
      std::size_t keyEnd = skipString(i);
      std::string key = Json::parse(s_.substr(i, keyEnd - i)).get<std::string>();
      i = keyEnd;
      skipBlank(i);
      ++i;  // ':'
      skipBlank(i);
      std::size_t end = skipValue(i);
      out.push_back({key, i, end});
      i = end;
    }
    *close = i;
    return out;
  }

private:
  const std::string& s_;
};

}  // namespace

std::string replaceNodeParams(const std::string& text, const std::string& node, const Json& params,
                              const std::string& source) {
  Json doc = parseJson(text, source);
  if (!doc.is_object() || !doc.contains("nodes") || !doc["nodes"].is_object()) {
    throw UsageError(source + ": nodes: missing: it maps node names to nodes");
  }
  if (!doc["nodes"].contains(node)) throw UsageError(source + ": there is no node '" + node + "'");

  Scanner scan(text);
  std::size_t i = text.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0, close = 0;  // a byte order mark
  scan.skipBlank(i);
  auto find = [](const std::vector<Scanner::Member>& ms, const std::string& key) -> const Scanner::Member* {
    // parseJson refuses repeated keys, so the first match is the only one.
    for (const Scanner::Member& m : ms) {
      if (m.key == key) return &m;
    }
    return nullptr;
  };
  auto top = scan.members(i, &close);
  const Scanner::Member* nodes = find(top, "nodes");
  auto nodeMembers = scan.members(nodes->valueBegin, &close);
  const Scanner::Member* entry = find(nodeMembers, node);
  if (text[entry->valueBegin] != '{') throw UsageError(source + ": node '" + node + "': expected an object");
  auto fields = scan.members(entry->valueBegin, &close);
  // One line, spaced as people write it: {"above": 255.0, "threshold": 100.0}.
  std::string value = "{";
  for (const auto& [key, v] : params.items())
    value += (value.size() > 1 ? ", " : "") + Json(key).dump() + ": " + v.dump();
  value += "}";
  if (const Scanner::Member* p = find(fields, "params")) {
    return text.substr(0, p->valueBegin) + value + text.substr(p->valueEnd);
  }
  // No "params" yet: it goes after the node's last field, on the same line.
  std::size_t at = fields.empty() ? entry->valueBegin + 1 : fields.back().valueEnd;
  return text.substr(0, at) + (fields.empty() ? "" : ", ") + "\"params\": " + value + text.substr(at);
}

}  // namespace kxrun
