// Removal of temporary output files on SIGINT, SIGTERM and SIGHUP.
//
// The handler may only call async-signal-safe functions, so the names live in a fixed array of
// character buffers rather than in std::strings, and a slot is marked used through a
// sig_atomic_t. Registration and release hold the signals back, so the handler never sees a slot
// half filled in.
#include "Interrupt.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace kxrun {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr std::size_t kSlots = 256;
constexpr std::size_t kPathBytes = 4096;

struct Slot {
  volatile std::sig_atomic_t used;
  char path[kPathBytes];
};
Slot slots[kSlots];
std::mutex slotMutex;  // between threads; the signals are blocked while it is held

extern "C" void removeTemporaries(int signal) {
  for (Slot& slot : slots) {
    if (slot.used) ::unlink(slot.path);
  }
  // Ends the program as the signal would have without this handler: its status shows the signal.
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  raise(signal);  // delivered when the handler returns, the signal being blocked until then
}

void installHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int signal : kSignals) {
      struct sigaction old;
      if (sigaction(signal, nullptr, &old) != 0) continue;
      // A signal the caller ignores (nohup) stays ignored, and one a host program handles itself
      // (a fuzzer's driver, say) stays with that handler.
      if ((old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL) continue;
      struct sigaction action;
      std::memset(&action, 0, sizeof action);
      action.sa_handler = removeTemporaries;
      sigfillset(&action.sa_mask);
      sigaction(signal, &action, nullptr);
    }
  });
}

// Holds the three signals back in this thread for its lifetime.
class SignalsHeld {
public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kSignals) sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
  sigset_t old_;
};

}  // namespace

int createTemporary(const std::string& pattern, std::string& path, int& fd) {
  installHandler();
  if (pattern.size() >= kPathBytes) {
    errno = ENAMETOOLONG;
    return -1;
  }
  SignalsHeld held;
  std::lock_guard<std::mutex> lock(slotMutex);
  for (std::size_t i = 0; i < kSlots; ++i) {
    Slot& slot = slots[i];
    if (slot.used) continue;
    std::memcpy(slot.path, pattern.c_str(), pattern.size() + 1);
    slot.used = 1;
    fd = mkstemp(slot.path);
    if (fd < 0) {
      const int error = errno;
      slot.used = 0;
      errno = error;
      return -1;
    }
    path = slot.path;
    return static_cast<int>(i);
  }
  errno = EMFILE;
  return -1;
}

void releaseTemporary(int registration) {
  if (registration < 0 || static_cast<std::size_t>(registration) >= kSlots) return;
  SignalsHeld held;
  std::lock_guard<std::mutex> lock(slotMutex);
  slots[registration].used = 0;
}

void pauseBeforeRenameForTests(const std::string& temp) {
  const char* hook = std::getenv("KXRUN_TEST_PAUSE_BEFORE_RENAME");
  if (!hook || !*hook) return;
  std::fprintf(stderr, "pausing: %s\n", temp.c_str());
  std::fflush(stderr);
  for (;;) pause();
}

}  // namespace kxrun
