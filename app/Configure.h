// `kxrun configure`: a processor's parameters edited through its own dialog, in a window or by
// an action script, and stored in a parameter file or in a node of a graph file.
#pragma once

#include <string>

#include "kxhost/Plugin.h"

namespace kxrun {

struct ConfigureArgs {
  std::string target;  // an entry name, or a graph file when `node` is given
  std::string node;    // the node of the graph to edit
  std::string params;  // the parameter file of an entry (read when present, written on OK)
  std::string script;  // scripted actions instead of a window
};

// Exit status 0 when the dialog ended (with OK the values are written, with Cancel nothing is).
int cmdConfigure(const kxhost::Plugin& plugin, const ConfigureArgs& args);

}  // namespace kxrun
