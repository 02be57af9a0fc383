// Scheduler of the host execution layer: the threads of a block as fibers on
// one OS thread, the barrier, and the pool of workers that run a launch's blocks.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include "common/hostcuda/internal.h"

// On x86-64 fibers switch with a minimal routine of ours that saves only the
// callee-saved registers: the fibers of a block share one OS thread and its
// floating-point environment, which kernels never change. Elsewhere (or with
// HOSTCUDA_USE_FCONTEXT) Boost.Context's fcontext does the switch.
#if defined(__x86_64__) && !defined(HOSTCUDA_USE_FCONTEXT)
#define HOSTCUDA_OWN_SWITCH 1
#else
#include <boost/context/detail/fcontext.hpp>
#endif

// Under AddressSanitizer every switch is announced, so that ASan knows which
// stack runs (and reports on fiber stacks instead of warning that it cannot).
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define HOSTCUDA_ASAN 1
#endif

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define HOSTCUDA_HAVE_VALGRIND 1
#endif

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

#ifdef HOSTCUDA_ASAN
constexpr size_t kStackSize = 256 * 1024;  // instrumented frames are larger
#else
constexpr size_t kStackSize = 64 * 1024;
#endif
// Free stacks a worker keeps after its part of a launch while more than half
// of the limit is in use.
constexpr size_t kKeptWhenShort = 16;

// Fiber stacks mapped in the whole process.
std::atomic<size_t> g_live_stacks{0};
constexpr size_t kSharedAlign = 64;

uint64_t splitmix64(uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

std::string format_idx(const uint3& v) {
  return "(" + std::to_string(v.x) + "," + std::to_string(v.y) + "," + std::to_string(v.z) + ")";
}

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
#ifdef HOSTCUDA_ASAN
  const void* stack_bottom;  // for the worker's own context: its thread's stack
  size_t stack_size;
  void* fake_stack;
#endif
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
    for (Fiber* f : all_fibers) release_stack(f);
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
  void release_stack(Fiber* f);
  void trim();
  void abandon_block();
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

// A null `from` is a finished fiber, which is never resumed.
#ifdef HOSTCUDA_ASAN
inline void announce_switch(Fiber* from, const Fiber* to) {
  __sanitizer_start_switch_fiber(from ? &from->fake_stack : nullptr, to->stack_bottom,
                                 to->stack_size);
}
inline void switched_back(Fiber* self) {
  __sanitizer_finish_switch_fiber(self->fake_stack, nullptr, nullptr);
}
#else
inline void announce_switch(Fiber*, const Fiber*) {}
inline void switched_back(Fiber*) {}
#endif

#ifdef HOSTCUDA_OWN_SWITCH
inline void switch_to(Fiber* from, Fiber* to, Worker& w) {
  void* discard;
  hc_current = to == &w.sched ? nullptr : &to->tc;
  announce_switch(from, to);
  hostcuda_switch_stack(from ? &from->sp : &discard, to->sp);
  if (from) switched_back(from);
}
#else
// The fiber that jumped here passes itself (if it will be resumed later) so its
// context can be saved; a fiber that has finished passes null.
inline void save_from(fc::transfer_t t) {
  if (t.data) static_cast<Fiber*>(t.data)->ctx = t.fctx;
}

inline void switch_to(Fiber* from, Fiber* to, Worker& w) {
  hc_current = to == &w.sched ? nullptr : &to->tc;
  announce_switch(from, to);
  save_from(fc::jump_fcontext(to->ctx, from));
  if (from) switched_back(from);
}
#endif

void Worker::fail_thread(const Fiber* f, const std::string& what) {
  launch->fail(std::string("kernel ") + launch->args->name + " block " + format_idx(block.block_idx) +
               " thread " + format_idx(f->tc.thread_idx) + ": " + what);
  next_start = num_threads;  // start no more threads of this block
}

// Entry of every fiber: run not-yet-started threads of the block one after the
// other on this stack. A thread suspended at a barrier keeps this fiber; the
// barrier hands the not-yet-started threads to a new fiber.
[[noreturn]] void fiber_main() {
  Worker& w = *tl_worker;
  Fiber* self = reinterpret_cast<Fiber*>(hc_current);
#ifdef HOSTCUDA_ASAN
  // A worker's first switch comes from its own context, on its thread's stack.
  const void* from_bottom;
  size_t from_size;
  __sanitizer_finish_switch_fiber(nullptr, &from_bottom, &from_size);
  if (!w.sched.stack_bottom) {
    w.sched.stack_bottom = from_bottom;
    w.sched.stack_size = from_size;
  }
#endif
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

// A fiber ready to start threads of the current block, or null when no stack
// can be had: the process's limit is reached or the system refuses one.
__attribute__((noinline)) Fiber* Worker::new_fiber() {
  Fiber* f;
  if (!free_fibers.empty()) {
    f = free_fibers.back();
    free_fibers.pop_back();
  } else {
    if (g_live_stacks.fetch_add(1) >= settings().stack_limit.load(std::memory_order_relaxed)) {
      g_live_stacks.fetch_sub(1);
      return nullptr;
    }
    const size_t page = page_size();
    void* m = mmap(nullptr, kStackSize + page, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    // The lowest page is a guard: a stack overflow faults instead of corrupting memory.
    if (m != MAP_FAILED && mprotect(m, page, PROT_NONE) != 0) {
      munmap(m, kStackSize + page);
      m = MAP_FAILED;
    }
    if (m == MAP_FAILED) {
      g_live_stacks.fetch_sub(1);
      return nullptr;
    }
    f = new Fiber{};
    f->mapping = static_cast<char*>(m);
    f->colour = static_cast<unsigned>(all_fibers.size() % 64);
#ifdef HOSTCUDA_HAVE_VALGRIND
    f->valgrind_id = VALGRIND_STACK_REGISTER(f->mapping + page, f->mapping + page + kStackSize);
#endif
#ifdef HOSTCUDA_ASAN
    f->stack_bottom = f->mapping + page;
    f->stack_size = kStackSize;
#endif
    all_fibers.push_back(f);
  }
  f->tc.block = &block;
#ifdef HOSTCUDA_ASAN
  // Frames of an earlier use of the stack (a block abandoned at a barrier)
  // are gone.
  ASAN_UNPOISON_MEMORY_REGION(f->mapping + page_size(), kStackSize);
#endif
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

void Worker::release_stack(Fiber* f) {
#ifdef HOSTCUDA_HAVE_VALGRIND
  VALGRIND_STACK_DEREGISTER(f->valgrind_id);
#endif
#ifdef HOSTCUDA_ASAN
  // What is mapped here next (a thread's stack, say) starts clean.
  ASAN_UNPOISON_MEMORY_REGION(f->mapping + page_size(), kStackSize);
#endif
  munmap(f->mapping, kStackSize + page_size());
  delete f;
  g_live_stacks.fetch_sub(1);
}

// After its part of a launch: while more than half of the process's stacks
// are in use, a worker keeps only a few free ones, so that many workers and
// many calling threads share the limit.
void Worker::trim() {
  if (g_live_stacks.load() <= settings().stack_limit.load(std::memory_order_relaxed) / 2) return;
  if (free_fibers.size() <= kKeptWhenShort) return;
  std::vector<Fiber*> released(free_fibers.begin() + kKeptWhenShort, free_fibers.end());
  free_fibers.resize(kKeptWhenShort);
  std::sort(released.begin(), released.end());
  all_fibers.erase(std::remove_if(all_fibers.begin(), all_fibers.end(),
                                  [&](Fiber* f) {
                                    return std::binary_search(released.begin(), released.end(), f);
                                  }),
                   all_fibers.end());
  for (Fiber* f : released) release_stack(f);
}

// The block could not get a fiber stack: it is given up (the launch fails),
// and the fibers of its threads that wait at a barrier are free again.
void Worker::abandon_block() {
  launch->fail(std::string("kernel ") + launch->args->name + " block " +
                   format_idx(block.block_idx) + ": no fiber stack for its threads",
               cudaErrorMemoryAllocation);
  next_start = num_threads;
  for (Fiber* f : waiting) free_fibers.push_back(f);
  for (size_t i = ready_pos; i < ready.size(); ++i) free_fibers.push_back(ready[i]);
  waiting.clear();
  ready.clear();
  ready_pos = 0;
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
  if (next_start < num_threads) {
    if (Fiber* f = new_fiber()) return f;
    abandon_block();
    return &sched;
  }
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
  if (Fiber* first = new_fiber()) {
    switch_to(&sched, first, *this);
  } else {
    abandon_block();
  }
  launch = nullptr;
}

// ---------------------------------------------------------------------------
// Worker pool: helper threads that join the caller in running a launch's blocks.

void run_on_this_thread(LaunchState& l) {
  Worker& w = this_worker();
  for (;;) {
    if (l.failed.load(std::memory_order_relaxed)) break;
    const uint64_t b = l.next_block.fetch_add(1, std::memory_order_relaxed);
    if (b >= l.num_blocks) break;
    w.run_block(l, b);
  }
  w.trim();
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
      run_on_this_thread(*l);
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
    run_on_this_thread(l);
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

}  // namespace

size_t default_stack_limit() {
  long maps = 65530;  // Linux's default vm.max_map_count
  if (std::FILE* f = std::fopen("/proc/sys/vm/max_map_count", "r")) {
    if (std::fscanf(f, "%ld", &maps) != 1) maps = 65530;
    std::fclose(f);
  }
  return static_cast<size_t>(std::max(maps / 8 * 3, 1024L));
}

void run_blocks(LaunchState& l, int helpers) {
  // A worker may need a stack for every thread of a block; helpers join only
  // as far as the stacks not yet mapped allow.
  const size_t limit = settings().stack_limit.load(std::memory_order_relaxed);
  const size_t live = g_live_stacks.load();
  const size_t workers_fitting = live < limit ? (limit - live) / l.threads_per_block : 0;
  helpers = static_cast<int>(
      std::min<size_t>(static_cast<size_t>(helpers), workers_fitting > 0 ? workers_fitting - 1 : 0));
  if (helpers > 0) {
    pool().run(l, helpers);
  } else {
    run_on_this_thread(l);
  }
}

}  // namespace detail

size_t fiber_stacks() { return detail::g_live_stacks.load(); }

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
