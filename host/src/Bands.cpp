// Band runs: one requested run of an element-wise processor as several runs of the same instance
// over horizontal bands of its matrices, on threads the host owns. The plug-in stays thread-free:
// each band is an ordinary run on its own thread, with its own current pin and matrix.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <thread>

#include "Current.h"

namespace kxhost {

namespace {

// The processors whose every output element depends only on the elements at the same position of
// their image inputs and on parameters, whose checks depend on sizes and parameters alone (so that
// every band meets them alike), and whose warnings are given before any output exists or by all
// bands alike. Their "Scalar" pins are passed whole. Not here: the stretch and the inversion (the
// matrix's extremes), the noise (one generator sequence over the whole matrix), the generators, the
// adaptive threshold (a running mean along the rows), the features and the geometry.
constexpr const char* kSplittable[] = {
    "_AbsDiffImage",   "_AddImage",        "_SubImage",       "_MultImage",  "_DivImage", "_ScalarAddImage",
    "_ScalarSubImage", "_ScalarMultImage", "_ScalarDivImage", "_BlendImage", "_Negate",   "_SquareImage",
    "_AndImage",       "_OrImage",         "_BinImage",       "_RGBSplitt",  "_RGBJoin",
};

bool splittable(const ProcessorDescriptor* record) { return elementLocal(record->entry); }

}  // namespace

bool elementLocal(const char* entry) {
  return std::any_of(std::begin(kSplittable), std::end(kSplittable),
                     [&](const char* e) { return std::strcmp(e, entry) == 0; });
}

namespace {

// The "Scalar" pins accept doubles alone; they carry one value per matrix, not an image.
bool imagePin(const PinDescriptor& pin) { return pin.typeMask != 0x10; }

std::atomic<unsigned>& threadSetting() {
  static std::atomic<unsigned> count{hardwareThreads()};
  return count;
}
// A split run costs 3 to 18 us more than one run (waking a helper, the views), measured on two
// cores with bench/band_threshold.py. Split in two, the 8-bit division of 1 MiB outputs gains 1.25x
// but the addition loses (0.67x); at 2 MiB the addition is at 0.94x and the division at 1.5x, and at
// 4 MiB both gain (1.37x and 1.7x). Below 2 MiB, then, a cheap run would lose what a dear one gains.
std::atomic<uint64_t>& thresholdSetting() {
  static std::atomic<uint64_t> bytes{uint64_t(2) << 20};
  return bytes;
}

// Host threads working on some band now, across all runs of the process: a run takes what is left
// of threads() - 1, so that runs started at once from many threads share the cores.
std::atomic<unsigned> busyHelpers{0};

unsigned takeHelpers(unsigned wanted) {
  unsigned busy = busyHelpers.load();
  for (;;) {
    const unsigned limit = threads() - 1;
    const unsigned take = std::min(wanted, busy < limit ? limit - busy : 0u);
    if (take == 0) return 0;
    if (busyHelpers.compare_exchange_weak(busy, busy + take)) return take;
  }
}

struct Helpers {
  unsigned count;
  explicit Helpers(unsigned wanted) : count(takeHelpers(wanted)) {}
  ~Helpers() { busyHelpers -= count; }
  Helpers(const Helpers&) = delete;
  Helpers& operator=(const Helpers&) = delete;
};

bool sameSize(const kxMInfo& a, const kxMInfo& b) { return a.X == b.X && a.Y == b.Y && a.Planes == b.Planes; }

// The bands of one run, claimed one by one by whoever is free: the helpers and the calling thread,
// which thus never waits for a helper that has not yet woken up, only for bands already under way.
struct Job {
  std::function<void(int32_t)> work;
  int32_t count = 0;
  std::atomic<int32_t> next{0};
  std::mutex mutex;
  std::condition_variable finished;
  int32_t done = 0;

  // Works on unclaimed bands until none is left.
  void help() {
    for (int32_t k; (k = next.fetch_add(1)) < count;) {
      work(k);
      std::lock_guard<std::mutex> lock(mutex);
      if (++done == count) finished.notify_all();
    }
  }
};

// The host's threads: started when first needed, kept for the next run (starting a thread costs
// about as much as a band of a megabyte), never more than the thread count asked for so far.
class Workers {
public:
  static Workers& get() {
    static Workers* workers = new Workers;  // never destroyed: its threads wait to the end of the process
    return *workers;
  }
  // Offers the job to `helpers` threads; returns how many took it.
  unsigned offer(const std::shared_ptr<Job>& job, unsigned helpers) {
    std::lock_guard<std::mutex> lock(mutex_);
    while (started_ < helpers) {
      try {
        std::thread([this] { loop(); }).detach();
      } catch (const std::exception&) {
        break;
      }
      ++started_;
    }
    const unsigned n = std::min(helpers, started_);
    for (unsigned i = 0; i < n; ++i) queue_.push_back(job);
    wake_.notify_all();
    return n;
  }

private:
  void loop() {
    for (;;) {
      std::shared_ptr<Job> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !queue_.empty(); });
        job = std::move(queue_.front());
        queue_.pop_front();
      }
      job->help();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> queue_;
  unsigned started_ = 0;
};

// The rows of a band as a matrix of its own over the same elements.
std::unique_ptr<Matrix> rowsOf(const Matrix& m, int32_t first, int32_t rows) {
  kxMInfo info = m.info();
  info.Y = rows;
  const std::size_t rowBytes = m.bytes() / static_cast<std::size_t>(m.info().Y);
  auto* base = static_cast<unsigned char*>(const_cast<void*>(m.data()));
  return std::make_unique<Matrix>(m.type(), info, base + static_cast<std::size_t>(first) * rowBytes);
}

// Where a band stopped, in the order one run works: by the output matrices it had asked for, then by
// band. The earliest failure is the one a single run meets.
std::size_t reached(const Band& band) {
  std::size_t n = 0;
  for (const Pin& pin : band.outputs) n += pin.stream.matrices.size();
  return n;
}

}  // namespace

unsigned hardwareThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

unsigned threads() { return threadSetting().load(std::memory_order_relaxed); }
void setThreads(unsigned count) { threadSetting().store(count == 0 ? hardwareThreads() : count); }
uint64_t bandThreshold() { return thresholdSetting().load(std::memory_order_relaxed); }
void setBandThreshold(uint64_t bytes) { thresholdSetting().store(bytes); }

bool runInBands(Instance& instance, kxEntryFn entry, RunResult& result) {
  if (threads() < 2) return false;  // the entry is looked up last: tiny runs feel every name compared
  // Every matrix on every image input the same size, with elements, so that a row range means the
  // same elements everywhere.
  const kxMInfo* size = nullptr;
  uint64_t elements = 0;
  for (std::size_t p = 0; p < instance.inputs.size(); ++p) {
    if (!imagePin(instance.record()->inputs[p])) continue;
    for (const auto& m : instance.inputs[p].stream.matrices) {
      if (m->count() == 0 || (size && !sameSize(*size, m->info()))) return false;
      size = &m->info();
      if (p == 0) elements += m->count();
    }
  }
  if (!size || size->Y < 2) return false;
  std::size_t widest = 0;
  unsigned connected = 0;
  for (const Pin& pin : instance.outputs) {
    widest = std::max(widest, elementSize(pin.type));
    connected += pin.connected ? 1 : 0;
  }
  if (elements * widest * std::max(connected, 1u) < bandThreshold() || !splittable(instance.record())) return false;

  const unsigned wanted = std::min<unsigned>(threads(), static_cast<unsigned>(size->Y)) - 1;
  Helpers helpers(wanted);
  if (helpers.count == 0) return false;
  const int32_t count = static_cast<int32_t>(helpers.count) + 1;

  BandShared shared;
  shared.rows = size->Y;
  shared.outputs.resize(instance.outputs.size());
  std::vector<Band> bands(static_cast<std::size_t>(count));
  try {
    for (int32_t k = 0; k < count; ++k) {
      Band& band = bands[static_cast<std::size_t>(k)];
      band.first = static_cast<int32_t>(int64_t(size->Y) * k / count);
      band.rows = static_cast<int32_t>(int64_t(size->Y) * (k + 1) / count) - band.first;
      band.shared = &shared;
      for (std::size_t p = 0; p < instance.inputs.size(); ++p) {
        const Pin& whole = instance.inputs[p];
        Pin pin;
        pin.type = whole.type;
        pin.connected = whole.connected;
        pin.stream.meta = whole.stream.meta;
        pin.stream.metaSet = whole.stream.metaSet;
        const bool image = imagePin(instance.record()->inputs[p]);
        for (const auto& m : whole.stream.matrices) {
          pin.stream.matrices.push_back(image ? rowsOf(*m, band.first, band.rows) : rowsOf(*m, 0, m->info().Y));
        }
        band.inputs.push_back(std::move(pin));
      }
      for (const Pin& whole : instance.outputs) {
        Pin pin;
        pin.type = whole.type;
        pin.connected = whole.connected;
        band.outputs.push_back(std::move(pin));
      }
    }
  } catch (const std::bad_alloc&) {
    return false;  // no room for the views: one run needs none
  }

  // The calling thread works on bands too, so a run goes on even when no helper is free to start.
  auto job = std::make_shared<Job>();
  job->count = count;
  job->work = [&](int32_t k) {
    Band& band = bands[static_cast<std::size_t>(k)];
    callEntry(instance, entry, band.result, &band);
  };
  Workers::get().offer(job, helpers.count);
  job->help();
  {
    std::unique_lock<std::mutex> lock(job->mutex);
    job->finished.wait(lock, [&] { return job->done == count; });
  }

  // The result one run gives: that of the earliest failing band, or of band 0 when all completed.
  const Band* chosen = &bands[0];
  for (const Band& band : bands) {
    if (band.result.completed) continue;
    if (chosen->result.completed || reached(band) < reached(*chosen)) chosen = &band;
  }
  result = chosen->result;
  result.bands = count;
  if (result.refused.empty()) {
    for (const Band& band : bands) {
      if (!band.result.refused.empty()) {
        result.refused = band.result.refused;
        break;
      }
    }
  }
  for (std::size_t p = 0; p < instance.outputs.size(); ++p) {
    Stream& out = instance.outputs[p].stream;
    const Stream& seen = chosen->outputs[p].stream;
    out.meta = seen.meta;
    out.metaSet = seen.metaSet;
    auto& made = shared.outputs[p];
    // Matrices the earliest failure had not reached do not exist in one run.
    if (made.size() > seen.matrices.size()) made.resize(seen.matrices.size());
    out.matrices = std::move(made);
  }
  if (instance.onWarning) {
    for (const std::string& text : result.warnings) instance.onWarning(text);
  }
  return true;
}

}  // namespace kxhost
