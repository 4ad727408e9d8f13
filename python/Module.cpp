// rasterkit._core: the plug-in's catalogue and processor runs on numpy arrays, through the host
// runtime and kxrun's parameter, type and graph code. The Python side (rasterkit/__init__.py)
// shapes the results into functions, exceptions and warnings.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <bit>
#include <chrono>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Graph.h"
#include "Limits.h"
#include "Params.h"
#include "Streams.h"
#include "Text.h"
#include "kxhost/Plugin.h"
#if defined(RK_DIALOGS)
#include "kxui/Configure.h"
#include "kxui/WindowBackend.h"
#endif

namespace py = pybind11;

namespace {

std::unique_ptr<kxhost::Plugin> loaded;
// The package's Stream and Meta classes, which results are built of. Never released: the
// interpreter may be gone by the time static objects are destroyed.
py::object& streamClass = *new py::object;
py::object& metaClass = *new py::object;

const kxhost::Plugin& plugin() {
  if (!loaded) throw std::runtime_error("rasterkit: the plug-in is not loaded");
  return *loaded;
}

const ProcessorDescriptor* recordAt(std::size_t index) {
  const auto& records = plugin().records();
  if (index >= records.size()) throw py::index_error("no processor " + std::to_string(index));
  return records[index];
}

py::str latin1(const char* text) {
  PyObject* s = PyUnicode_DecodeLatin1(text, static_cast<Py_ssize_t>(std::strlen(text)), nullptr);
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

// A caller's text for the library: Latin-1, characters beyond it as '?'.
std::string latin1Arg(py::handle text, const std::string& what) {
  if (!py::isinstance<py::str>(text)) throw py::type_error(what + ": expected a str");
  return kxrun::toLatin1(text.cast<std::string>());
}

std::string typeNameOf(py::handle obj) { return py::str(py::type::handle_of(obj).attr("__name__")); }

// ---- element types ----------------------------------------------------------------------------

// The rule the .npy reader follows: uint8 (and bool, read as its bytes 0 and 1), int16 (code 1,
// which a pin may carry and every processor refuses), int32, float32, float64; -1 otherwise.
int codeOf(const py::dtype& dt) {
  const char kind = dt.kind();
  const auto size = dt.itemsize();
  if (kind == 'b' || (kind == 'u' && size == 1)) return 0;
  if (kind == 'i' && size == 2) return 1;
  if (kind == 'i' && size == 4) return 2;
  if (kind == 'f' && size == 4) return 3;
  if (kind == 'f' && size == 8) return 4;
  return -1;
}

const char* const kAccepted = "uint8 (or bool), int16, int32, float32 and float64";

py::dtype dtypeOf(kxType code) {
  // Made once: a dtype from its name costs a noticeable part of a call on small images.
  static const std::vector<py::dtype>& dtypes =
      *new std::vector<py::dtype>{py::dtype("u1"), py::dtype("i2"), py::dtype("i4"), py::dtype("f4"), py::dtype("f8")};
  return dtypes[static_cast<std::size_t>(code)];
}

// An element type given as a name ("uint8"), a code, or anything numpy takes as a dtype.
kxType typeArg(py::handle t, const std::string& what) {
  if (py::isinstance<py::str>(t)) {
    try {
      return kxrun::parseType(t.cast<std::string>(), what);
    } catch (const kxrun::UsageError& e) {
      throw py::value_error(e.what());
    }
  }
  if (PyLong_Check(t.ptr()) && !PyBool_Check(t.ptr())) {
    long code = PyLong_AsLong(t.ptr());
    if (code < 0 || code > 255) throw py::value_error(what + ": a type code is 0 to 255");
    return static_cast<kxType>(code);
  }
  py::dtype dt;
  try {
    dt = py::dtype::from_args(py::reinterpret_borrow<py::object>(t));
  } catch (const py::error_already_set&) {
    throw py::type_error(what + ": " + std::string(py::repr(t)) + " is not an element type (" + kAccepted + ")");
  }
  int code = codeOf(dt);
  if (code < 0) {
    throw py::type_error(what + ": dtype " + std::string(py::str(dt)) + " is not supported (" + kAccepted + ")");
  }
  return code;
}

// ---- inputs -----------------------------------------------------------------------------------

bool nativeOrder(const py::dtype& dt) {
  const char order = dt.byteorder();
  constexpr bool little = std::endian::native == std::endian::little;
  return order == '=' || order == '|' || (order == '<') == little;
}

// One array as a matrix over its elements: without a copy when it is C-contiguous, aligned and in
// this machine's byte order, else over one contiguous copy. `keep` holds what the matrix reads.
std::unique_ptr<kxhost::Matrix> matrixOf(py::handle obj, kxType& code, kxMInfo info, std::vector<py::object>& keep,
                                         const std::string& where) {
  if (!py::isinstance<py::array>(obj)) {
    throw py::type_error(where + ": expected a numpy array, not " + typeNameOf(obj));
  }
  auto array = py::reinterpret_borrow<py::array>(obj);
  const auto ndim = array.ndim();
  if (ndim != 2 && ndim != 3) {
    throw py::value_error(where + ": an array of " + std::to_string(ndim) +
                          " dimensions; a matrix is (Y, X) or (Y, X, P) for P planes");
  }
  const int64_t y = array.shape(0), x = array.shape(1), planes = ndim == 3 ? array.shape(2) : 1;
  if (y == 0 || x == 0 || planes == 0) {
    throw py::value_error(where + ": shape " + std::string(py::str(array.attr("shape"))) +
                          " has no elements; a matrix has at least one row, column and plane");
  }
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  if (y > kMax || x > kMax || planes > kMax || y * x > kMax || y * x * planes > kMax) {
    throw py::value_error(where + ": shape " + std::string(py::str(array.attr("shape"))) +
                          " exceeds the host's 32-bit element count");
  }
  py::dtype dt = array.dtype();
  code = codeOf(dt);
  if (code < 0) {
    throw py::type_error(where + ": dtype " + std::string(py::str(dt)) + " is not supported (" + kAccepted + ")");
  }
  if (dt.kind() == 'b') array = array.attr("view")("u1");
  const bool borrowable = (array.flags() & py::array::c_style) &&
                          (array.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) && nativeOrder(dt);
  if (!borrowable) {
    static py::object& contiguous = *new py::object(py::module_::import("numpy").attr("ascontiguousarray"));
    array = contiguous(array, dtypeOf(code));
  }
  info.X = static_cast<int32_t>(x);
  info.Y = static_cast<int32_t>(y);
  info.Planes = static_cast<int32_t>(planes);
  std::unique_ptr<kxhost::Matrix> matrix;
  try {
    matrix = std::make_unique<kxhost::Matrix>(code, info, const_cast<void*>(array.data()));
  } catch (kxEx* e) {  // no memory for the row pointers
    std::string text = e->kxGetText();
    delete e;
    throw py::value_error(where + ": " + text);
  }
  keep.push_back(std::move(array));
  return matrix;
}

kxMInfo metaArg(py::handle meta, const std::string& where) {
  kxMInfo info;
  if (meta.is_none()) return info;
  try {
    info.Name = latin1Arg(meta.attr("name"), where + ".meta.name").c_str();
    info.X = meta.attr("x").cast<int32_t>();
    info.Y = meta.attr("y").cast<int32_t>();
    info.Planes = meta.attr("planes").cast<int32_t>();
    info.Count = meta.attr("count").cast<int32_t>();
    std::string data = meta.attr("user_data").cast<std::string>();
    info.UserDatas.assign(data.data(), static_cast<int32_t>(data.size()));
  } catch (const std::exception&) {  // a missing field or a value of the wrong type
    throw py::type_error(where + ".meta: expected a rasterkit.Meta of a str, four 32-bit integers and bytes");
  }
  return info;
}

// What lies on one input pin: nothing (None), one array, or a sequence of arrays (a Stream adds
// names, user data and meta information). Returns whether the pin got a bare array.
bool fillInput(kxhost::Pin& pin, py::handle value, std::vector<py::object>& keep, const std::string& where) {
  if (value.is_none()) {
    pin.connected = false;
    return true;
  }
  pin.connected = true;
  if (py::isinstance<py::array>(value)) {
    kxType code = 0;
    pin.stream.matrices.push_back(matrixOf(value, code, kxMInfo(), keep, where));
    pin.type = code;
    return true;
  }
  if (!py::isinstance<py::list>(value) && !py::isinstance<py::tuple>(value)) {
    throw py::type_error(where + ": expected a numpy array, a list of them, a rasterkit.Stream or None, not " +
                         typeNameOf(value));
  }
  py::object names = py::none(), userData = py::none();
  if (py::isinstance(value, streamClass)) {
    names = value.attr("names");
    userData = value.attr("user_data");
    pin.stream.meta = metaArg(value.attr("meta"), where);
    pin.stream.metaSet = !value.attr("meta").is_none();
  }
  auto items = py::reinterpret_borrow<py::sequence>(value);
  std::optional<kxType> type;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string at = where + "[" + std::to_string(i) + "]";
    kxMInfo info;
    if (!names.is_none() && i < py::len(names)) info.Name = latin1Arg(names[py::int_(i)], at + " name").c_str();
    if (!userData.is_none() && i < py::len(userData)) {
      py::object data = userData[py::int_(i)];
      if (!data.is_none()) {
        if (!py::isinstance<py::bytes>(data)) throw py::type_error(at + " user data: expected bytes or None");
        std::string bytes = data.cast<std::string>();
        info.UserDatas.assign(bytes.data(), static_cast<int32_t>(bytes.size()));
      }
    }
    kxType code = 0;
    pin.stream.matrices.push_back(matrixOf(items[i], code, info, keep, at));
    if (type && *type != code) {
      throw py::type_error(where + ": the arrays of one stream share one dtype (" +
                           std::string(py::str(dtypeOf(*type))) + " and " + std::string(py::str(dtypeOf(code))) + ")");
    }
    type = code;
  }
  if (type) pin.type = *type;
  return false;
}

// ---- parameters -------------------------------------------------------------------------------

tagVARIANT paramArg(const ParameterDescriptor& desc, py::handle v, const std::string& what) {
  if (py::isinstance<py::str>(v)) {
    try {
      return kxhost::parseParameter(desc.type, latin1Arg(v, what));
    } catch (const std::invalid_argument& e) {
      throw py::value_error(what + ": " + e.what());
    }
  }
  tagVARIANT value{};
  if (PyBool_Check(v.ptr())) throw py::type_error(what + ": expected a number, not a bool");
  if (desc.type == 2) {
    if (!PyIndex_Check(v.ptr())) throw py::type_error(what + ": expected an integer, not " + typeNameOf(v));
    py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(v.ptr()));
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow || n < std::numeric_limits<int32_t>::min() || n > std::numeric_limits<int32_t>::max()) {
      throw py::value_error(what + ": " + std::string(py::str(number)) + " is not a 32-bit integer");
    }
    value.vt = VT_I4;
    value.lVal = static_cast<int32_t>(n);
    return value;
  }
  if (!PyFloat_Check(v.ptr()) && !PyIndex_Check(v.ptr()) && !py::hasattr(v, "__float__")) {
    throw py::type_error(what + ": expected a number, not " + typeNameOf(v));
  }
  double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    throw py::value_error(what + ": " + std::string(py::repr(v)) + " is not a double");
  }
  value.vt = VT_R8;
  value.dblVal = d;
  return value;
}

void setParams(kxhost::Instance& inst, py::dict params) {
  const ProcessorDescriptor* r = inst.record();
  for (auto [key, value] : params) {
    const std::string name = key.cast<std::string>();
    int index = kxrun::paramIndex(r, name);
    if (index < 0) {
      throw py::type_error(std::string(r->entry) + "() has no parameter '" + name + "' (" + kxrun::paramNames(r) + ")");
    }
    inst.params[static_cast<std::size_t>(index)] = paramArg(r->params[index], value, name);
  }
}

// ---- outputs ----------------------------------------------------------------------------------

py::object metaOf(const kxMInfo& info) {
  return metaClass(
      latin1(info.Name.c_str()), info.X, info.Y, info.Planes, info.Count,
      py::bytes(reinterpret_cast<const char*>(info.UserDatas.data()), static_cast<std::size_t>(info.UserDatas.size())));
}

// The host's matrix as an array over its buffer; the array owns the matrix.
py::array arrayOf(std::unique_ptr<kxhost::Matrix> matrix) {
  const kxMInfo& info = matrix->info();
  auto dim = [](int32_t v) { return static_cast<py::ssize_t>(v > 0 ? v : 0); };
  std::vector<py::ssize_t> shape{dim(info.Y), dim(info.X)};
  if (info.Planes != 1) shape.push_back(dim(info.Planes));
  py::dtype dt = dtypeOf(matrix->type());
  void* data = matrix->data();
  py::capsule owner(matrix.get(), [](void* p) { delete static_cast<kxhost::Matrix*>(p); });
  matrix.release();
  return py::array(dt, shape, data, owner);
}

py::object streamOf(kxhost::Stream& stream, bool single) {
  if (single && stream.matrices.size() == 1) return arrayOf(std::move(stream.matrices[0]));
  py::list arrays, names, userData;
  for (auto& m : stream.matrices) {
    names.append(latin1(m->info().Name.c_str()));
    const kxUserDatas& data = m->info().UserDatas;
    userData.append(py::bytes(reinterpret_cast<const char*>(data.data()), static_cast<std::size_t>(data.size())));
    arrays.append(arrayOf(std::move(m)));
  }
  stream.matrices.clear();
  return streamClass(arrays, names, userData, stream.metaSet ? metaOf(stream.meta) : py::none());
}

// Output pins asked for: None for all, one index, or a sequence of them.
std::vector<int> outputsArg(py::handle outputs, int count, const char* entry) {
  std::vector<int> pins;
  if (outputs.is_none()) {
    for (int i = 0; i < count; ++i) pins.push_back(i);
    return pins;
  }
  auto pinArg = [&](py::handle v) {
    if (!PyLong_Check(v.ptr()) || PyBool_Check(v.ptr())) throw py::type_error("outputs: expected pin indices");
    long pin = PyLong_AsLong(v.ptr());
    if (pin < 0 || pin >= count) {
      throw py::value_error("outputs: " + std::string(entry) + " has " + std::to_string(count) + " output pin" +
                            (count == 1 ? "" : "s") + ", numbered from 0");
    }
    return static_cast<int>(pin);
  };
  if (PyLong_Check(outputs.ptr())) return {pinArg(outputs)};
  for (py::handle v : py::reinterpret_borrow<py::iterable>(outputs)) pins.push_back(pinArg(v));
  return pins;
}

void outTypesArg(kxhost::Instance& inst, py::handle types) {
  if (types.is_none()) return;
  const int count = static_cast<int>(inst.outputs.size());
  auto set = [&](int pin, py::handle t) {
    if (!t.is_none()) inst.outputs[static_cast<std::size_t>(pin)].type = typeArg(t, "out_type " + std::to_string(pin));
  };
  if (py::isinstance<py::dict>(types)) {
    for (auto [k, t] : py::reinterpret_borrow<py::dict>(types)) {
      int pin = k.cast<int>();
      if (pin < 0 || pin >= count) throw py::value_error("out_type: no output pin " + std::to_string(pin));
      set(pin, t);
    }
  } else if (py::isinstance<py::list>(types) || py::isinstance<py::tuple>(types)) {
    auto list = py::reinterpret_borrow<py::sequence>(types);
    if (static_cast<int>(list.size()) > count) {
      throw py::value_error("out_type: " + std::to_string(list.size()) + " types for " + std::to_string(count) +
                            " output pins");
    }
    for (std::size_t i = 0; i < list.size(); ++i) set(static_cast<int>(i), list[i]);
  } else {
    for (int pin = 0; pin < count; ++pin) set(pin, types);
  }
}

enum Status { Done = 0, ProcessorFailed = 1, HostFailed = 2, Refused = 3, Returned = 4 };

// The outcome for the Python side: (status, text, warnings, outputs by asked pin).
py::tuple outcome(kxhost::Instance& inst, const kxhost::RunResult& result, const std::vector<int>& pins, bool single) {
  py::list warnings;
  for (const std::string& w : result.warnings) warnings.append(latin1(w.c_str()));
  int status = Done;
  std::string text;
  if (!result.refused.empty()) {
    status = Refused;
    text = result.refused;
  } else if (!result.completed) {
    status = result.processorError ? ProcessorFailed : HostFailed;
    text = result.error;
  } else if (result.returned != 1) {
    status = Returned;
    text = std::string(inst.record()->entry) + " returned " + std::to_string(result.returned);
  }
  py::list outputs;
  // Outputs that lack what the host refused are not handed out.
  if (status != Refused) {
    for (int pin : pins) outputs.append(streamOf(inst.outputs[static_cast<std::size_t>(pin)].stream, single));
  }
  return py::make_tuple(status, latin1(text.c_str()), warnings, outputs);
}

kxhost::Limits limits;

py::tuple run(std::size_t index, py::tuple inputs, py::dict params, py::object outTypes, py::object outputs,
              bool stream) {
  const ProcessorDescriptor* r = recordAt(index);
  std::vector<py::object> keep;  // outlives the instance, whose matrices read these arrays
  kxhost::Instance inst = plugin().instantiate(r);
  inst.limits = limits;
  const int inCount = static_cast<int>(inst.inputs.size());
  if (static_cast<int>(inputs.size()) > inCount) {
    throw py::type_error(std::string(r->entry) + " takes " + std::to_string(inCount) + " input" +
                         (inCount == 1 ? "" : "s") + ", " + std::to_string(inputs.size()) + " given");
  }
  bool arrays = true;
  for (int pin = 0; pin < inCount; ++pin) {
    const std::string where = std::string(r->entry) + " input " + std::to_string(pin);
    py::object value = py::none();
    if (pin < static_cast<int>(inputs.size())) value = inputs[static_cast<std::size_t>(pin)];
    arrays = fillInput(inst.inputs[static_cast<std::size_t>(pin)], value, keep, where) && arrays;
    if (value.is_none() && r->inputs[pin].required) {
      throw py::type_error(where + " (\"" + kxrun::toUtf8(r->inputs[pin].name) + "\") is required");
    }
  }
  setParams(inst, params);
  outTypesArg(inst, outTypes);
  std::vector<int> pins = outputsArg(outputs, static_cast<int>(inst.outputs.size()), r->entry);
  for (auto& pin : inst.outputs) pin.connected = false;
  for (int pin : pins) inst.outputs[static_cast<std::size_t>(pin)].connected = true;
  if (!plugin().entry(r)) throw py::value_error(std::string("the plug-in does not export ") + r->entry);

  kxhost::RunResult result;
  {
    py::gil_scoped_release release;
    result = inst.run();
  }
  return outcome(inst, result, pins, arrays && !stream);
}

// Seconds per run of the entry on these inputs, timed inside the host: the baseline that the
// package's per-call overhead is measured against.
double timeEntry(std::size_t index, py::tuple inputs, py::dict params, int runs) {
  const ProcessorDescriptor* r = recordAt(index);
  std::vector<py::object> keep;
  kxhost::Instance inst = plugin().instantiate(r);
  for (std::size_t pin = 0; pin < inputs.size() && pin < inst.inputs.size(); ++pin) {
    fillInput(inst.inputs[pin], inputs[pin], keep, "input");
  }
  setParams(inst, params);
  for (auto& pin : inst.outputs) pin.connected = true;
  py::gil_scoped_release release;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < runs; ++i) {
    kxhost::Instance each = plugin().instantiate(r);
    each.inputs = std::move(inst.inputs);
    for (auto& pin : each.outputs) pin.connected = true;
    kxhost::RunResult result = each.run();
    inst.inputs = std::move(each.inputs);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / runs;
}

// ---- catalogue --------------------------------------------------------------------------------

py::list pinsOf(const PinDescriptor* pins) {
  py::list out;
  for (const PinDescriptor* p = pins; p && p->name; ++p) {
    py::list types;
    for (kxType code : {0, 2, 3, 4}) {
      if (p->typeMask & (1 << code)) types.append(py::str(kxrun::typeName(code)));
    }
    py::dict d;
    d["name"] = latin1(p->name);
    d["required"] = p->required != 0;
    d["types"] = types;
    d["default_type"] = py::str(kxrun::typeName(static_cast<kxType>(p->defaultType)));
    out.append(d);
  }
  return out;
}

py::list catalogue() {
  py::list out;
  for (const ProcessorDescriptor* r : plugin().records()) {
    py::list params;
    for (const ParameterDescriptor* p = r->params; p && p->name; ++p) {
      py::dict d;
      d["name"] = latin1(p->name);
      d["type"] = p->type == 2 ? "int32" : "float64";
      d["default_text"] = latin1(p->defaultText);
      tagVARIANT v = kxhost::parseParameter(p->type, p->defaultText);
      d["default"] = p->type == 2 ? py::object(py::int_(v.lVal)) : py::object(py::float_(v.dblVal));
      params.append(d);
    }
    py::dict d;
    d["entry"] = latin1(r->entry);
    d["name"] = latin1(r->displayName);
    d["category"] = latin1(r->category);
    d["inputs"] = pinsOf(r->inputs);
    d["outputs"] = pinsOf(r->outputs);
    d["params"] = params;
    d["dialog"] = r->dialog && r->dialog->function ? py::object(latin1(r->dialog->function)) : py::none();
    d["exported"] = plugin().entry(r) != nullptr;
    out.append(d);
  }
  return out;
}

// ---- graphs -----------------------------------------------------------------------------------

// Runs a graph file (or its parsed text) the way `kxrun graph` does, with streams given for file
// nodes; returns (status, {node: [outputs by pin]}, report as JSON text). Without `keepOutputs`,
// outputs nobody reads are dropped as kxrun drops them and none is returned: a batch writes files.
py::tuple runGraph(const std::string& file, const std::string& text, py::dict sources,
                   const std::vector<std::string>& sets, bool keepOutputs) {
  kxrun::GraphOptions options;
  options.sets = sets;
  options.keepOutputs = keepOutputs;
  options.quiet = true;
  options.limits = limits;
  std::vector<py::object> keep;
  for (auto [name, value] : sources) {
    auto pin = std::make_shared<kxhost::Pin>();
    const std::string node = name.cast<std::string>();
    if (value.is_none()) throw py::value_error("graph input '" + node + "': expected a stream, not None");
    fillInput(*pin, value, keep, "graph input '" + node + "'");
    options.sources.emplace(node, std::move(pin));
  }
  std::optional<kxrun::Graph> graph;
  try {
    if (text.empty()) {
      graph.emplace(kxrun::Graph::fromFile(plugin(), file, options));
    } else {
      graph.emplace(plugin(), kxrun::parseJson(text, file), ".", file, options);
    }
  } catch (const kxrun::UsageError& e) {
    throw py::value_error(e.what());
  }
  int status = 0;
  {
    py::gil_scoped_release release;
    status = graph->run();
  }
  py::dict outputs;
  for (kxrun::GraphNode& node : graph->nodes()) {
    if (!keepOutputs || node.isSource || node.outputs.empty()) continue;
    py::list pins;
    for (kxhost::Pin& pin : node.outputs) pins.append(pin.connected ? streamOf(pin.stream, false) : py::none());
    outputs[py::str(node.name)] = pins;
  }
  return py::make_tuple(status, outputs, graph->report().dump());
}

// ---- dialogs ----------------------------------------------------------------------------------

#if defined(RK_DIALOGS)
// Shows the processor's dialog over these parameter values, in a window or driven by an action
// script as `kxrun configure --script` does; returns the values it ended with, or None on Cancel.
py::object configure(std::size_t index, py::dict params, const std::string& script) {
  const ProcessorDescriptor* r = recordAt(index);
  if (!r->dialog || !r->dialog->function) throw py::value_error(std::string(r->entry) + " has no dialog");
  if (!plugin().dialog(r)) throw py::value_error(std::string("the plug-in does not export ") + r->dialog->function);
  kxhost::Instance inst = plugin().instantiate(r);
  setParams(inst, params);
  kxui::ConfigureOutcome outcome;
  try {
    py::gil_scoped_release release;
    outcome = script.empty() ? kxui::configureInWindow(inst) : kxui::configureWithScript(inst, script);
  } catch (const kxui::NoDisplay& e) {
    throw py::value_error(std::string(e.what()) + " (script= runs scripted actions instead)");
  } catch (const std::runtime_error& e) {
    throw py::value_error(e.what());
  }
  if (!outcome.accepted()) return py::none();
  py::dict values;
  std::size_t k = 0;
  for (const ParameterDescriptor* p = r->params; p && p->name; ++p, ++k) {
    const tagVARIANT& v = inst.params[k];
    values[latin1(p->name)] = v.vt == VT_I4 ? py::object(py::int_(v.lVal)) : py::object(py::float_(v.dblVal));
  }
  return values;
}
#endif

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The RasterKit plug-in through the host runtime (use the rasterkit package).";
  m.def(
      "load",
      [](const std::string& path, py::object stream, py::object meta) {
        if (!loaded) {
          try {
            loaded = std::make_unique<kxhost::Plugin>(path.empty() ? kxhost::Plugin::defaultPath() : path, true);
          } catch (const kxhost::LoadError& e) {
            throw py::import_error(e.what());
          }
        }
        streamClass = std::move(stream);
        metaClass = std::move(meta);
        return loaded->path();
      },
      py::arg("path"), py::arg("stream"), py::arg("meta"));
  m.def("catalogue", &catalogue);
  m.def("run", &run, py::arg("index"), py::arg("inputs"), py::arg("params"), py::arg("out_type"), py::arg("outputs"),
        py::arg("stream"));
  m.def("time_entry", &timeEntry, py::arg("index"), py::arg("inputs"), py::arg("params"), py::arg("runs"));
  m.def("run_graph", &runGraph, py::arg("file"), py::arg("text"), py::arg("sources"), py::arg("sets"),
        py::arg("keep") = true);
  // A graph file as kxrun reads it (comments, duplicate keys), as plain JSON text in its own order.
  m.def("graph_text", [](const std::string& text, const std::string& source) {
    try {
      return kxrun::parseJson(text, source).dump();
    } catch (const kxrun::UsageError& e) {
      throw py::value_error(e.what());
    }
  });
  m.def(
      "set_limits",
      [](uint64_t matrixBytes, uint64_t runBytes) {
        limits.maxMatrixBytes = matrixBytes;
        limits.maxRunBytes = runBytes;
      },
      py::arg("max_matrix_bytes"), py::arg("max_run_bytes"));
#if defined(RK_DIALOGS)
  m.def("configure", &configure, py::arg("index"), py::arg("params"), py::arg("script"));
#endif
  m.def("limits", [] { return py::make_tuple(limits.maxMatrixBytes, limits.maxRunBytes); });
  m.def("set_threads", &kxhost::setThreads, py::arg("count"));
  m.def("threads", &kxhost::threads);
  m.def("element_local", [](const std::string& entry) { return kxhost::elementLocal(entry.c_str()); });
  m.def("set_band_threshold", &kxhost::setBandThreshold, py::arg("bytes"));
  m.def("band_threshold", &kxhost::bandThreshold);
}
