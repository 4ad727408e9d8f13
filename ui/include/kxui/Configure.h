// Configuring a processor instance from a host program: its dialog export run under a backend.
//
// This is what `kxrun configure` stands on:
//
//   kxhost::Plugin plugin(kxhost::Plugin::defaultPath());
//   kxhost::Instance inst = plugin.instantiate(plugin.find("_BinImage"));
//   ... set inst.params from the parameter file (absent values keep the catalogue defaults) ...
//   kxui::ConfigureOutcome r = script.empty() ? kxui::configureInWindow(inst)
//                                             : kxui::configureWithScript(inst, script, &std::cout);
//   if (r.accepted()) ... write inst.params back ...
//
// configureInWindow throws kxui::NoDisplay when no display can be opened (its text says so);
// configureWithScript throws kxui::ScriptError for a malformed action script, for an action a user
// could not perform, for actions left over after the dialog closed, and (as ScriptExhausted) for a
// dialog still open when the actions run out. Either throws std::runtime_error for a processor
// without a dialog and for a host error raised inside the dialog. Nothing is written to the
// instance unless the dialog ends with OK.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "kxhost/Runtime.h"
#include "kxui/Backend.h"

namespace kxui {

struct ConfigureOutcome {
  int returned = 0;          // what the dialog export returned (1)
  std::vector<int> results;  // the buttons that ended its dialogs: IDOK 1, IDCANCEL 2
  // The dialog ended with OK, so the parameters were written (possibly unchanged).
  bool accepted() const { return !results.empty() && results.back() == IDOK; }
};

// Runs the instance's dialog export with dialogs and kxQMessages::MsgBox shown through backend.
ConfigureOutcome configure(kxhost::Instance& instance, Backend& backend);

// In a real window: on the display named by DISPLAY, or on Windows a native dialog.
ConfigureOutcome configureInWindow(kxhost::Instance& instance);

// With the actions of an action script file (format in kxui/Scripted.h); a transcript of what the
// dialog showed (UTF-8) goes to *transcript when given, also when the script fails.
ConfigureOutcome configureWithScript(kxhost::Instance& instance, const std::string& scriptPath,
                                     std::ostream* transcript = nullptr);

}  // namespace kxui
