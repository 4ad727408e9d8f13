// Parameter values in JSON: a graph node's "params", and parameter files, which hold the values
// of one processor instance so that `kxrun configure` can edit them and `run` and `graph` use them:
//
//   {"processor": "_BinImage", "params": {"above": 255, "below": 0, "threshold": 100}}
//
// A value is a number or a text read as the catalogue's defaults are ("0,5"); a parameter the
// file leaves out keeps its catalogue default.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Files.h"
#include "Report.h"
#include "kx/kxCatalog.h"

namespace kxrun {

using ParamValues = std::vector<std::pair<int, tagVARIANT>>;  // parameter index, value

// The index of the parameter named `name` (UTF-8), or -1.
int paramIndex(const ProcessorDescriptor* record, const std::string& name);
// "it has above, below, threshold" or "it has none", for messages.
std::string paramNames(const ProcessorDescriptor* record);

// One value for the parameter; `text` receives it as written. A UsageError says what is wrong
// (without naming the field: callers know where it stands).
tagVARIANT paramValue(const ParameterDescriptor& desc, const Json& value, std::string* text = nullptr);

// The values of a JSON object of parameter names and values; `where` prefixes messages
// ("graph.json: node 'bin': params").
ParamValues paramValues(const ProcessorDescriptor* record, const Json& params, const std::string& where);

// A value as JSON: int32 parameters as integers, float64 ones as numbers that read back to the
// same double, and the non-finite ones as the texts "inf", "-inf" and "nan".
Json paramJson(const tagVARIANT& value);
// Every parameter of an instance, in catalogue order.
Json paramsJson(const ProcessorDescriptor* record, const std::vector<tagVARIANT>& values);

// Reads a parameter file for `record`; a file written for another processor is refused.
ParamValues readParamFile(const ProcessorDescriptor* record, const fs::path& path);
// The text of a parameter file holding every parameter of an instance.
std::string paramFileText(const ProcessorDescriptor* record, const std::vector<tagVARIANT>& values);

// The text of a graph file with the "params" of node `node` replaced by `params` (added when the
// node has none), everything else, comments and layout included, left as it was. A UsageError
// when the text has no such node.
std::string replaceNodeParams(const std::string& text, const std::string& node, const Json& params,
                              const std::string& source);

}  // namespace kxrun
