// Runtime of the host execution layer: launch checks, the block scheduler
// (threads of a block as fibers on one OS thread), the worker pool, streams,
// errors and the launch trace.
#include "common/hostcuda/hostcuda.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_set>

// On x86-64 fibers switch with a minimal routine of ours that saves only the
// callee-saved registers: the fibers of a block share one OS thread and its
// floating-point environment, which kernels never change. Elsewhere (or with
// HOSTCUDA_USE_FCONTEXT) Boost.Context's fcontext does the switch.
#if defined(__x86_64__) && !defined(HOSTCUDA_USE_FCONTEXT)
#define HOSTCUDA_OWN_SWITCH 1
#else
#include <boost/context/detail/fcontext.hpp>
#endif

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define HOSTCUDA_HAVE_VALGRIND 1
#endif

struct CUstream_st {
  unsigned long long id;
};

namespace hostcuda {
namespace detail {

__thread ThreadContext* hc_current = nullptr;

namespace {

#ifdef HOSTCUDA_OWN_SWITCH
// Pushes the callee-saved registers, stores the stack pointer in *save_sp,
// loads load_sp, pops the registers saved there and returns on that stack.
extern "C" void hostcuda_switch_stack(void** save_sp, void* load_sp);
asm(R"(
  .text
  .p2align 4
  .globl hostcuda_switch_stack
  .hidden hostcuda_switch_stack
  .type hostcuda_switch_stack, @function
hostcuda_switch_stack:
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .size hostcuda_switch_stack, .-hostcuda_switch_stack
)");
#else
namespace fc = boost::context::detail;
#endif

constexpr size_t kStackSize = 64 * 1024;
constexpr size_t kMaxDynamicShared = 48 * 1024;
constexpr size_t kSharedAlign = 64;
constexpr unsigned kMaxThreadsPerBlock = 1024;

[[noreturn]] void fatal(const char* what) {
  std::fprintf(stderr, "hostcuda: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

// ---------------------------------------------------------------------------
// Settings.

struct Settings {
  std::atomic<int> workers{1};
  std::atomic<int> order{static_cast<int>(ResumeOrder::Forward)};
  std::atomic<uint64_t> seed{0};
  std::atomic<bool> check_barrier_sites{false};

  Settings() {
    if (const char* c = std::getenv("HOSTCUDA_CHECK_BARRIERS")) check_barrier_sites = std::atoi(c) != 0;
    if (const char* w = std::getenv("HOSTCUDA_WORKERS")) {
      const int n = std::atoi(w);
      workers = n > 0 ? n : hardware_workers();
    }
    if (const char* o = std::getenv("HOSTCUDA_RESUME_ORDER")) {
      if (std::strcmp(o, "reverse") == 0) {
        order = static_cast<int>(ResumeOrder::Reverse);
      } else if (std::strncmp(o, "shuffle", 7) == 0) {
        order = static_cast<int>(ResumeOrder::Shuffle);
        if (o[7] == ':') seed = std::strtoull(o + 8, nullptr, 10);
      }
    }
  }
  static int hardware_workers() {
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(n) : 1;
  }
};

Settings& settings() {
  static Settings* s = new Settings;
  return *s;
}

// ---------------------------------------------------------------------------
// Errors: the calling thread's last error (returned once, then cleared) and the
// process-wide sticky error left by a failed kernel.

thread_local cudaError_t tl_last_error = cudaSuccess;
std::atomic<int> g_sticky{cudaSuccess};
std::mutex g_sticky_mu;
std::string g_sticky_detail;

cudaError_t note(cudaError_t e) {
  if (e != cudaSuccess) tl_last_error = e;
  return e;
}

cudaError_t sticky() { return static_cast<cudaError_t>(g_sticky.load(std::memory_order_acquire)); }

void set_sticky(const std::string& detail) {
  std::lock_guard<std::mutex> lock(g_sticky_mu);
  if (g_sticky.load() == cudaSuccess) {
    g_sticky_detail = detail;
    g_sticky.store(cudaErrorLaunchFailure, std::memory_order_release);
  }
}

// ---------------------------------------------------------------------------
// Streams. Handles are never freed, so a destroyed handle is never reused and
// stays recognisable as invalid.

struct StreamRegistry {
  std::mutex mu;
  std::deque<CUstream_st> handles;
  std::unordered_set<cudaStream_t> live;
  size_t created = 0;
  size_t destroyed = 0;
};

StreamRegistry& streams() {
  static StreamRegistry* r = new StreamRegistry;
  return *r;
}

bool is_default_stream(cudaStream_t s) {
  return s == nullptr || s == cudaStreamLegacy || s == cudaStreamPerThread;
}

bool valid_stream(cudaStream_t s) {
  if (is_default_stream(s)) return true;
  StreamRegistry& r = streams();
  std::lock_guard<std::mutex> lock(r.mu);
  return r.live.count(s) != 0;
}

// ---------------------------------------------------------------------------
// Trace.

std::atomic<bool> g_tracing{false};
std::mutex g_trace_mu;
std::vector<LaunchRecord>* g_trace = new std::vector<LaunchRecord>;

void trace(const LaunchArgs& l, bool refused, cudaError_t error) {
  if (!g_tracing.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> lock(g_trace_mu);
  g_trace->push_back(
      LaunchRecord{l.name ? l.name : "", l.grid, l.block, l.shared_bytes, l.stream, refused, error});
}

// ---------------------------------------------------------------------------
// Scheduler.

uint64_t splitmix64(uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

std::string format_idx(const uint3& v) {
  return "(" + std::to_string(v.x) + "," + std::to_string(v.y) + "," + std::to_string(v.z) + ")";
}

// One launch, shared by the workers that run its blocks.
struct LaunchState {
  const LaunchArgs* args;
  ResumeOrder order;
  uint64_t seed;
  uint64_t num_blocks;
  unsigned threads_per_block;
  std::atomic<uint64_t> next_block{0};
  std::atomic<bool> failed{false};
  std::mutex mu;
  std::string failure;

  void fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(mu);
    if (!failed.load()) {
      failure = what;
      failed.store(true);
    }
  }
};

// A CUDA thread runs on a fiber. `tc` comes first so that hc_current, which
// points at it, also points at the fiber.
struct Fiber {
  ThreadContext tc;
#ifdef HOSTCUDA_OWN_SWITCH
  void* sp;           // saved stack pointer while suspended
#else
  fc::fcontext_t ctx;
#endif
  unsigned linear;    // linear thread index within the block
  char* mapping;      // guard page + stack
  unsigned valgrind_id;
  unsigned colour;    // offset of the stack top, in cache lines
};
static_assert(std::is_standard_layout<Fiber>::value, "hc_current aliases Fiber::tc");

// Everything one OS thread needs to run blocks: fiber pool, dynamic shared
// memory arena, and the state of the block being run.
struct Worker {
  Fiber sched{};  // the worker's own context; never runs a CUDA thread
  std::vector<Fiber*> free_fibers;
  std::vector<Fiber*> all_fibers;
  unsigned char* arena = nullptr;

  // Current block.
  Block block{};
  LaunchState* launch = nullptr;
  uint64_t block_linear = 0;
  unsigned num_threads = 0;
  unsigned next_start = 0;   // threads started so far
  unsigned live = 0;         // started and not returned
  bool one_dim = true;
  std::vector<unsigned> start_perm;
  std::vector<Fiber*> waiting;  // arrived at the current barrier, in arrival order
  std::vector<Fiber*> ready;    // released from the last barrier, not yet resumed
  size_t ready_pos = 0;
  std::vector<Fiber*> slots;    // scratch for ordering a release
  void* barrier_site = nullptr;
  bool mismatch_reported = false;
  unsigned phase = 0;

  Worker() {
    arena = static_cast<unsigned char*>(std::aligned_alloc(kSharedAlign, kMaxDynamicShared));
    if (!arena) throw std::bad_alloc();
    waiting.reserve(kMaxThreadsPerBlock);
    ready.reserve(kMaxThreadsPerBlock);
    slots.resize(kMaxThreadsPerBlock);
    start_perm.reserve(kMaxThreadsPerBlock);
  }
  ~Worker() {
    for (Fiber* f : all_fibers) {
#ifdef HOSTCUDA_HAVE_VALGRIND
      VALGRIND_STACK_DEREGISTER(f->valgrind_id);
#endif
      munmap(f->mapping, kStackSize + page_size());
      delete f;
    }
    std::free(arena);
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  static size_t page_size() {
    static const size_t p = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return p;
  }

  uint3 thread_index(unsigned linear) const {
    if (one_dim) return uint3{linear, 0, 0};
    const unsigned bx = block.block_dim.x, by = block.block_dim.y;
    return uint3{linear % bx, (linear / bx) % by, linear / (bx * by)};
  }

  unsigned start_linear(unsigned k) const {
    switch (launch->order) {
      case ResumeOrder::Forward: return k;
      case ResumeOrder::Reverse: return num_threads - 1 - k;
      case ResumeOrder::Shuffle: return start_perm[k];
    }
    return k;
  }

  // Seeded permutation, the same for a given block and salt whatever the workers.
  template <typename T>
  void shuffle(T* a, size_t n, uint64_t salt) const {
    uint64_t state = splitmix64(launch->seed ^ splitmix64(block_linear * 0x100000001b3ull + salt));
    for (size_t i = n; i > 1; --i) {
      state = splitmix64(state);
      std::swap(a[i - 1], a[state % i]);
    }
  }

  Fiber* new_fiber();
  void release_barrier();
  inline Fiber* next_fiber();
  void run_block(LaunchState& l, uint64_t block_linear);
  void fail_thread(const Fiber* f, const std::string& what);
};

__thread Worker* tl_worker = nullptr;
thread_local std::unique_ptr<Worker> tl_worker_owner;

Worker& this_worker() {
  if (!tl_worker) {
    tl_worker_owner.reset(new Worker);
    tl_worker = tl_worker_owner.get();
  }
  return *tl_worker;
}

#ifdef HOSTCUDA_OWN_SWITCH
inline void switch_to(Fiber* from, Fiber* to, Worker& w) {
  void* discard;  // a finished fiber is never resumed
  hc_current = to == &w.sched ? nullptr : &to->tc;
  hostcuda_switch_stack(from ? &from->sp : &discard, to->sp);
}
#else
// The fiber that jumped here passes itself (if it will be resumed later) so its
// context can be saved; a fiber that has finished passes null.
inline void save_from(fc::transfer_t t) {
  if (t.data) static_cast<Fiber*>(t.data)->ctx = t.fctx;
}

inline void switch_to(Fiber* from, Fiber* to, Worker& w) {
  hc_current = to == &w.sched ? nullptr : &to->tc;
  save_from(fc::jump_fcontext(to->ctx, from));
}
#endif

void Worker::fail_thread(const Fiber* f, const std::string& what) {
  launch->fail(std::string("kernel ") + launch->args->name + " block " + format_idx(block.block_idx) +
               " thread " + format_idx(f->tc.thread_idx) + ": " + what);
  next_start = num_threads;  // start no more threads of this block
}

struct TrapSignal {};

// Entry of every fiber: run not-yet-started threads of the block one after the
// other on this stack. A thread suspended at a barrier keeps this fiber; the
// barrier hands the not-yet-started threads to a new fiber.
[[noreturn]] void fiber_main() {
  Worker& w = *tl_worker;
  Fiber* self = reinterpret_cast<Fiber*>(hc_current);
  const LaunchArgs& args = *w.launch->args;
  while (w.next_start < w.num_threads) {
    const unsigned linear = w.start_linear(w.next_start++);
    ++w.live;
    self->linear = linear;
    self->tc.thread_idx = w.thread_index(linear);
    try {
      args.thunk(args.kernel, args.args);
    } catch (const TrapSignal&) {
      w.fail_thread(self, "__trap()");
    } catch (const std::exception& e) {
      w.fail_thread(self, std::string("exception: ") + e.what());
    } catch (...) {
      w.fail_thread(self, "unknown exception");
    }
    --w.live;
  }
  // Every thread has been started, so the next fiber is a released one, or the
  // worker's own context when the block is complete. This stack is free again.
  Fiber* next = w.next_fiber();
  w.free_fibers.push_back(self);
  switch_to(nullptr, next, w);
  fatal("finished fiber resumed");
}

#ifndef HOSTCUDA_OWN_SWITCH
void fiber_entry(fc::transfer_t t) {
  save_from(t);
  fiber_main();
}
#endif

__attribute__((noinline)) Fiber* Worker::new_fiber() {
  Fiber* f;
  if (!free_fibers.empty()) {
    f = free_fibers.back();
    free_fibers.pop_back();
  } else {
    const size_t page = page_size();
    void* m = mmap(nullptr, kStackSize + page, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) fatal("cannot allocate a fiber stack");
    // The lowest page is a guard: a stack overflow faults instead of corrupting memory.
    if (mprotect(m, page, PROT_NONE) != 0) fatal("cannot protect a fiber stack guard page");
    f = new Fiber{};
    f->mapping = static_cast<char*>(m);
    f->colour = static_cast<unsigned>(all_fibers.size() % 64);
#ifdef HOSTCUDA_HAVE_VALGRIND
    f->valgrind_id = VALGRIND_STACK_REGISTER(f->mapping + page, f->mapping + page + kStackSize);
#endif
    all_fibers.push_back(f);
  }
  f->tc.block = &block;
  // Stacks are a multiple of the page size apart; shifting each top by a few
  // cache lines keeps the hot top frames of many fibers from sharing cache sets.
  const size_t shift = f->colour * 64;
  char* const top = f->mapping + page_size() + kStackSize - shift;
#ifdef HOSTCUDA_OWN_SWITCH
  // What hostcuda_switch_stack pops: six registers, then fiber_main as the
  // return address, entered like a called function (rsp + 8 16-byte aligned)
  // with a null return address of its own above it.
  void** sp = reinterpret_cast<void**>(top);
  *--sp = nullptr;
  *--sp = reinterpret_cast<void*>(&fiber_main);
  for (int i = 0; i < 6; ++i) *--sp = nullptr;
  f->sp = sp;
#else
  f->ctx = fc::make_fcontext(top, kStackSize - shift, fiber_entry);
#endif
  return f;
}

// Every live thread waits at the barrier: queue them to resume in the chosen order.
__attribute__((noinline)) void Worker::release_barrier() {
  const size_t n = waiting.size();
  Fiber** w = waiting.data();
  const ResumeOrder order = launch->order;
  // Arrivals are usually already in the wanted order; otherwise sort them by
  // thread index through the slot array.
  bool ascending = true, descending = true;
  for (size_t i = 1; i < n; ++i) {
    if (w[i - 1]->linear > w[i]->linear) ascending = false;
    else descending = false;
  }
  const bool want_descending = order == ResumeOrder::Reverse;
  if (!(want_descending ? descending : ascending)) {
    for (size_t i = 0; i < n; ++i) slots[w[i]->linear] = w[i];
    size_t k = 0;
    for (unsigned i = 0; i < num_threads && k < n; ++i) {
      const unsigned lin = want_descending ? num_threads - 1 - i : i;
      if (slots[lin]) {
        w[k++] = slots[lin];
        slots[lin] = nullptr;
      }
    }
  }
  if (order == ResumeOrder::Shuffle) shuffle(w, n, 1 + phase);
  ready.swap(waiting);
  waiting.clear();
  ready_pos = 0;
  barrier_site = nullptr;
  ++phase;
}

// Picks what runs after the current fiber stops (at a barrier or finished).
inline Fiber* Worker::next_fiber() {
  if (__builtin_expect(ready_pos < ready.size(), 1)) return ready[ready_pos++];
  if (next_start < num_threads) return new_fiber();
  if (!waiting.empty()) {
    release_barrier();
    return ready[ready_pos++];
  }
  return &sched;
}

void Worker::run_block(LaunchState& l, uint64_t linear) {
  launch = &l;
  block_linear = linear;
  const LaunchArgs& a = *l.args;
  const uint64_t gx = a.grid.x, gy = a.grid.y;
  block.block_idx = uint3{static_cast<unsigned>(linear % gx), static_cast<unsigned>((linear / gx) % gy),
                          static_cast<unsigned>(linear / (gx * gy))};
  block.block_dim = a.block;
  block.grid_dim = a.grid;
  block.dynamic_smem = arena;
  // Poison: 0xFF bytes are NaN as float and double, so a read before a write shows.
  if (a.shared_bytes) std::memset(arena, 0xFF, a.shared_bytes);
  num_threads = l.threads_per_block;
  one_dim = a.block.y == 1 && a.block.z == 1;
  next_start = 0;
  live = 0;
  phase = 0;
  waiting.clear();
  ready.clear();
  ready_pos = 0;
  barrier_site = nullptr;
  mismatch_reported = false;
  if (l.order == ResumeOrder::Shuffle) {
    start_perm.resize(num_threads);
    for (unsigned i = 0; i < num_threads; ++i) start_perm[i] = i;
    shuffle(start_perm.data(), num_threads, 0);
  }
  Fiber* first = new_fiber();
  switch_to(&sched, first, *this);
  launch = nullptr;
}

// ---------------------------------------------------------------------------
// Worker pool: helper threads that join the caller in running a launch's blocks.

void run_blocks(LaunchState& l) {
  Worker& w = this_worker();
  for (;;) {
    if (l.failed.load(std::memory_order_relaxed)) break;
    const uint64_t b = l.next_block.fetch_add(1, std::memory_order_relaxed);
    if (b >= l.num_blocks) break;
    w.run_block(l, b);
  }
}

struct Pool {
  std::mutex launch_mu;  // one parallel launch at a time
  std::mutex mu;
  std::condition_variable work_cv;
  std::condition_variable done_cv;
  LaunchState* job = nullptr;
  int slots = 0;
  int active = 0;
  int threads = 0;

  void helper() {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      work_cv.wait(lock, [&] { return job != nullptr && slots > 0; });
      LaunchState* l = job;
      --slots;
      ++active;
      lock.unlock();
      run_blocks(*l);
      lock.lock();
      if (--active == 0) done_cv.notify_all();
    }
  }

  void run(LaunchState& l, int helpers) {
    std::lock_guard<std::mutex> serial(launch_mu);
    {
      std::lock_guard<std::mutex> lock(mu);
      while (threads < helpers) {
        std::thread([this] { helper(); }).detach();
        ++threads;
      }
      job = &l;
      slots = helpers;
    }
    work_cv.notify_all();
    run_blocks(l);
    std::unique_lock<std::mutex> lock(mu);
    job = nullptr;
    slots = 0;
    done_cv.wait(lock, [&] { return active == 0; });
  }
};

Pool& pool() {
  static Pool* p = new Pool;  // helpers outlive static destruction
  return *p;
}

cudaError_t check_config(const LaunchArgs& l) {
  const dim3 g = l.grid, b = l.block;
  if (g.x == 0 || g.y == 0 || g.z == 0 || b.x == 0 || b.y == 0 || b.z == 0) {
    return cudaErrorInvalidConfiguration;
  }
  if (b.x > 1024 || b.y > 1024 || b.z > 64 ||
      static_cast<uint64_t>(b.x) * b.y * b.z > kMaxThreadsPerBlock) {
    return cudaErrorInvalidConfiguration;
  }
  if (g.x > 0x7fffffffu || g.y > 65535 || g.z > 65535) return cudaErrorInvalidConfiguration;
  if (l.shared_bytes > kMaxDynamicShared) return cudaErrorInvalidValue;
  return cudaSuccess;
}

}  // namespace

cudaError_t launch(const LaunchArgs& l) {
  if (hc_current) fatal("kernel launch from inside a kernel is not supported");
  cudaError_t e = valid_stream(l.stream) ? check_config(l) : cudaErrorInvalidResourceHandle;
  if (e != cudaSuccess) {
    trace(l, true, e);
    return note(e);
  }
  if ((e = sticky()) != cudaSuccess) {  // the device is unusable until reset
    trace(l, true, e);
    return e;
  }
  trace(l, false, cudaSuccess);

  LaunchState state;
  state.args = &l;
  Settings& s = settings();
  state.order = static_cast<ResumeOrder>(s.order.load(std::memory_order_relaxed));
  state.seed = s.seed.load(std::memory_order_relaxed);
  state.num_blocks = static_cast<uint64_t>(l.grid.x) * l.grid.y * l.grid.z;
  state.threads_per_block = l.block.x * l.block.y * l.block.z;
  const int workers = s.workers.load(std::memory_order_relaxed);
  if (workers > 1 && state.num_blocks > 1) {
    const uint64_t helpers = std::min<uint64_t>(static_cast<uint64_t>(workers - 1), state.num_blocks - 1);
    pool().run(state, static_cast<int>(helpers));
  } else {
    run_blocks(state);
  }
  if (state.failed.load()) {
    set_sticky(state.failure);
    return sticky();
  }
  return cudaSuccess;
}

[[noreturn]] void trap() { throw TrapSignal{}; }

}  // namespace detail

// ---------------------------------------------------------------------------
// Layer control.

void set_resume_order(ResumeOrder order, uint64_t seed) {
  detail::settings().order = static_cast<int>(order);
  detail::settings().seed = seed;
}

ResumeOrder resume_order() { return static_cast<ResumeOrder>(detail::settings().order.load()); }

void set_workers(int n) {
  detail::settings().workers = n > 0 ? n : detail::Settings::hardware_workers();
}

int workers() { return detail::settings().workers.load(); }

void set_check_barrier_sites(bool on) { detail::settings().check_barrier_sites = on; }

void reset_device() {
  std::lock_guard<std::mutex> lock(detail::g_sticky_mu);
  detail::g_sticky.store(cudaSuccess);
  detail::g_sticky_detail.clear();
  detail::tl_last_error = cudaSuccess;
}

std::string error_detail() {
  std::lock_guard<std::mutex> lock(detail::g_sticky_mu);
  return detail::g_sticky_detail;
}

void trace_start() {
  std::lock_guard<std::mutex> lock(detail::g_trace_mu);
  detail::g_trace->clear();
  detail::g_tracing = true;
}

std::vector<LaunchRecord> trace_stop() {
  std::lock_guard<std::mutex> lock(detail::g_trace_mu);
  detail::g_tracing = false;
  std::vector<LaunchRecord> out;
  out.swap(*detail::g_trace);
  return out;
}

StreamCounts stream_counts() {
  detail::StreamRegistry& r = detail::streams();
  std::lock_guard<std::mutex> lock(r.mu);
  return StreamCounts{r.created, r.destroyed};
}

}  // namespace hostcuda

// ---------------------------------------------------------------------------
// Barrier.

namespace {
using hostcuda::detail::Fiber;
using hostcuda::detail::Worker;

// Kept out of line so that the barrier's own frame (on every fiber's stack)
// stays small.
__attribute__((noinline, cold)) void report_mismatch(Worker& w, const Fiber* self, void* site) {
  using hostcuda::detail::format_idx;
  w.mismatch_reported = true;
  const Fiber* other = w.waiting.front();
  char sites[64];
  std::snprintf(sites, sizeof sites, "%p and %p", w.barrier_site, site);
  w.launch->fail(std::string("kernel ") + w.launch->args->name + " block " + format_idx(w.block.block_idx) +
                 ": threads wait at different __syncthreads() calls (threads " +
                 format_idx(other->tc.thread_idx) + " and " + format_idx(self->tc.thread_idx) + " at " +
                 sites + ")");
}
}  // namespace

__attribute__((noinline)) void __syncthreads() {
  using namespace hostcuda::detail;
  void* const site = __builtin_return_address(0);
  if (__builtin_expect(!hc_current, 0)) fatal("__syncthreads() called outside a kernel");
  Worker& w = *tl_worker;
  Fiber* self = reinterpret_cast<Fiber*>(hc_current);
  // All threads of a block must wait at the same __syncthreads() call. An
  // optimising compiler may duplicate one call of the source (jump threading,
  // unswitching), so the check is made only when asked for.
  if (__builtin_expect(settings().check_barrier_sites.load(std::memory_order_relaxed), 0)) {
    if (!w.barrier_site) {
      w.barrier_site = site;
    } else if (site != w.barrier_site && !w.mismatch_reported) {
      report_mismatch(w, self, site);
    }
  }
  w.waiting.push_back(self);
  Fiber* next = w.next_fiber();
  if (next != self) switch_to(self, next, w);
}

// ---------------------------------------------------------------------------
// Runtime API.

using hostcuda::detail::note;

cudaError_t cudaStreamCreate(cudaStream_t* stream) { return cudaStreamCreateWithFlags(stream, 0); }

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned int flags) {
  if (!stream || flags > cudaStreamNonBlocking) return note(cudaErrorInvalidValue);
  auto& r = hostcuda::detail::streams();
  std::lock_guard<std::mutex> lock(r.mu);
  r.handles.push_back(CUstream_st{r.handles.size() + 1});
  *stream = &r.handles.back();
  r.live.insert(*stream);
  ++r.created;
  return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  auto& r = hostcuda::detail::streams();
  std::lock_guard<std::mutex> lock(r.mu);
  if (r.live.erase(stream) == 0) return note(cudaErrorInvalidResourceHandle);
  ++r.destroyed;
  return cudaSuccess;
}

// Launches run to completion when issued, so synchronising only reports.
cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  if (!hostcuda::detail::valid_stream(stream)) return note(cudaErrorInvalidResourceHandle);
  return hostcuda::detail::sticky();
}

cudaError_t cudaDeviceSynchronize() { return hostcuda::detail::sticky(); }

cudaError_t cudaGetLastError() {
  const cudaError_t s = hostcuda::detail::sticky();
  if (s != cudaSuccess) return s;
  const cudaError_t e = hostcuda::detail::tl_last_error;
  hostcuda::detail::tl_last_error = cudaSuccess;
  return e;
}

cudaError_t cudaPeekAtLastError() {
  const cudaError_t s = hostcuda::detail::sticky();
  return s != cudaSuccess ? s : hostcuda::detail::tl_last_error;
}

const char* cudaGetErrorString(cudaError_t error) {
  switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
    case cudaErrorNotReady: return "device not ready";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
  }
  return "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t error) {
  switch (error) {
    case cudaSuccess: return "cudaSuccess";
    case cudaErrorInvalidValue: return "cudaErrorInvalidValue";
    case cudaErrorMemoryAllocation: return "cudaErrorMemoryAllocation";
    case cudaErrorInvalidConfiguration: return "cudaErrorInvalidConfiguration";
    case cudaErrorInvalidResourceHandle: return "cudaErrorInvalidResourceHandle";
    case cudaErrorNotReady: return "cudaErrorNotReady";
    case cudaErrorLaunchFailure: return "cudaErrorLaunchFailure";
  }
  return "cudaErrorUnknown";
}
