// Temporary output files that an interrupted kxrun removes: SIGINT, SIGTERM and SIGHUP unlink
// every registered temporary file and then end the program with the signal's default action, so
// that neither a half-written file nor a temporary one stays behind.
#pragma once

#include <string>

namespace kxrun {

// Creates a new file from a mkstemp() pattern and registers it for removal on those signals (the
// name is registered before the file exists, with the signals held back meanwhile). Returns the
// registration, or -1 with errno set when the file cannot be created or every slot is taken. The
// descriptor of the open file goes to `fd` and its name to `path`.
int createTemporary(const std::string& pattern, std::string& path, int& fd);

// Ends a registration: after the file was renamed to its target or removed.
void releaseTemporary(int registration);

// The test hook: with KXRUN_TEST_PAUSE_BEFORE_RENAME set, kxrun reports "pausing: PATH" on stderr
// once a temporary file is complete and waits for a signal before renaming it.
void pauseBeforeRenameForTests(const std::string& temp);

}  // namespace kxrun
