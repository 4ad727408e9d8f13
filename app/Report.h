// The JSON report of one processor run: result, error, warnings, and the streams on every pin.
#pragma once

#include <nlohmann/json.hpp>

#include "kxhost/Runtime.h"

namespace kxrun {

using Json = nlohmann::ordered_json;

// {"entry", "result", "error", "warnings", "inputs", "outputs"}; texts converted to UTF-8.
Json runReport(const kxhost::Instance& instance, const kxhost::RunResult& result);

// The report's description of one stream.
Json streamReport(const kxhost::Pin& pin, bool output);

}  // namespace kxrun
