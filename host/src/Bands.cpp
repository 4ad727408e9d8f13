// The host's thread count: how many threads a processor run may take, shared by the whole process.
#include <atomic>
#include <thread>

#include "kxhost/Runtime.h"

namespace kxhost {

namespace {
std::atomic<unsigned>& threadSetting() {
  static std::atomic<unsigned> count{hardwareThreads()};
  return count;
}
}  // namespace

unsigned hardwareThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

unsigned threads() { return threadSetting().load(std::memory_order_relaxed); }
void setThreads(unsigned count) { threadSetting().store(count == 0 ? hardwareThreads() : count); }

}  // namespace kxhost
