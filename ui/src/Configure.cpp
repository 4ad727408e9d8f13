// Host-side glue: a backend selected, message boxes routed through it, the dialog export run.
#include "kxui/Configure.h"

#include "kx/kx.h"
#include "kxui/Scripted.h"
#if defined(_WIN32)
#include "kxui/Win32Backend.h"
#else
#include "kxui/WindowBackend.h"
#endif

namespace kxui {

namespace {
// Routes the host's message boxes through the UI layer for the scope.
struct MessageBoxRoute {
  MessageBoxRoute() {
    kxhost::setMessageBoxHook(
        [](const char* text, unsigned style, const char* title) { return messageBox(text, style, title); });
  }
  ~MessageBoxRoute() { kxhost::setMessageBoxHook(nullptr); }
};
}  // namespace

ConfigureOutcome configure(kxhost::Instance& instance, Backend& backend) {
  MessageBoxRoute route;
  BackendScope scope(backend);
  std::size_t before = backend.dialogResults().size();
  ConfigureOutcome outcome;
  try {
    outcome.returned = instance.configure();
  } catch (kxEx* e) {
    std::string text = e->kxGetText();
    delete e;
    throw std::runtime_error(text);
  }
  const std::vector<int>& all = backend.dialogResults();
  outcome.results.assign(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
  return outcome;
}

ConfigureOutcome configureInWindow(kxhost::Instance& instance) {
#if defined(_WIN32)
  return configure(instance, nativeBackend());
#else
  WindowBackend backend;
  return configure(instance, backend);
#endif
}

ConfigureOutcome configureWithScript(kxhost::Instance& instance, const std::string& scriptPath,
                                     std::ostream* transcript) {
  std::vector<Action> actions = loadActions(scriptPath);
  ScriptedBackend backend(actions, scriptPath);
  auto flush = [&] {
    if (transcript) *transcript << backend.transcript();
  };
  ConfigureOutcome outcome;
  try {
    outcome = configure(instance, backend);
  } catch (...) {
    flush();
    throw;
  }
  flush();
  if (backend.remaining() > 0) {
    const Action& left = actions[actions.size() - backend.remaining()];
    throw ScriptError(scriptPath, left.line,
                      std::to_string(backend.remaining()) + " action(s) left after the dialog closed, from '" +
                          left.describe() + "' on");
  }
  return outcome;
}

}  // namespace kxui
