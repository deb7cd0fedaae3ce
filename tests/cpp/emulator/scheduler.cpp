// The block scheduler: each CUDA thread of a block is a fiber (Boost.Context, about 40
// times faster to switch than ucontext here); a thread runs until it reaches a barrier, a
// shuffle or its end, then the next one runs, in forward or reverse thread order.
#include <sys/mman.h>

#include <boost/context/detail/fcontext.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cuda_runtime.h"
#include "emulator_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define KS_EMU_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KS_EMU_ASAN 1
#endif
#endif
#if defined(KS_EMU_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace kestrune::emu {

namespace {

namespace bc = boost::context::detail;

#if defined(KS_EMU_ASAN)
constexpr size_t kStack = 512 * 1024;
#else
constexpr size_t kStack = 128 * 1024;
#endif
constexpr int kMaxThreads = 1024;

enum class State : uint8_t { Run, Barrier, Shuffle, Done };

struct Fiber {
  bc::fcontext_t ctx = nullptr;
  char* stack = nullptr;
  size_t skew = 0;  // stack tops spread over the cache sets instead of all on one
};

struct Thread {
  uint3 idx{};
  State state = State::Run;
  unsigned mask = 0;
  uint32_t bits = 0;
  int mode = 0;
  unsigned arg = 0;
  int width = 32;
  uint32_t out = 0;
};

struct Scheduler {
  std::vector<Fiber> fibers;
  std::vector<Thread> threads;
  bc::fcontext_t main = nullptr;
  Thread* cur = nullptr;
  void (*body)(void*) = nullptr;
  void* body_ctx = nullptr;
  uint3 block{}, bdim{}, gdim{};
  const char* kernel = "";
  std::string fault;  // the first fault of this launch
  unsigned char* shared = nullptr;
  size_t shared_bytes = 0;
  int pos = 0;  // pass position of the running thread
  int n = 0;
  bool reverse = false;
  int last_error = 0;
  std::string last_text;
#if defined(KS_EMU_ASAN)
  const void* main_bottom = nullptr;
  size_t main_size = 0;
#endif
};

Scheduler& S() {
  static Scheduler s;
  return s;
}

#if defined(KS_EMU_ASAN)
constexpr bool kDirect = false;  // the sanitizer learns the scheduler's stack from the first entry
#else
constexpr bool kDirect = true;
#endif

void fiber_main(bc::transfer_t t);

// Jumps to fiber `to` (-1: the scheduler), saving the running context in *from. Whoever
// resumes stores the context it left in the slot it passed.
void jump(int to, bc::fcontext_t* from) {
  Scheduler& s = S();
  const bc::fcontext_t target = to < 0 ? s.main : s.fibers[size_t(to)].ctx;
  if (to >= 0) s.cur = &s.threads[size_t(to)];
#if defined(KS_EMU_ASAN)
  void* fake = nullptr;
  if (to < 0) {
    __sanitizer_start_switch_fiber(&fake, s.main_bottom, s.main_size);
  } else {
    __sanitizer_start_switch_fiber(&fake, s.fibers[size_t(to)].stack + 4096, kStack - 4096);
  }
#endif
  const bc::transfer_t t = bc::jump_fcontext(target, from);
  *static_cast<bc::fcontext_t*>(t.data) = t.fctx;
#if defined(KS_EMU_ASAN)
  __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
}

// A blocked or finished thread hands over to the next runnable one of this pass, or
// back to the scheduler after the last.
void yield() {
  Scheduler& s = S();
  const int me = int(s.cur - s.threads.data());
  int next = -1;
  if (kDirect) {
    for (int k = s.pos + 1; k < s.n; ++k) {
      const int i = s.reverse ? s.n - 1 - k : k;
      if (s.threads[size_t(i)].state == State::Run) {
        next = i;
        s.pos = k;
        break;
      }
    }
  }
  jump(next, &s.fibers[size_t(me)].ctx);
}

void fiber_main(bc::transfer_t t) {
  Scheduler& s = S();
  *static_cast<bc::fcontext_t*>(t.data) = t.fctx;
#if defined(KS_EMU_ASAN)
  __sanitizer_finish_switch_fiber(nullptr, &s.main_bottom, &s.main_size);
#endif
  for (;;) {
    s.body(s.body_ctx);
    s.cur->state = State::Done;
    yield();
  }
}

// A fresh context on the fiber's stack; whatever it was running is abandoned.
void reset(Fiber& f) {
  if (!f.stack) {
    void* m = mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) {
      std::fprintf(stderr, "emulator: cannot map a fiber stack\n");
      std::abort();
    }
    f.stack = static_cast<char*>(m);
    mprotect(f.stack, 4096, PROT_NONE);  // overflow guard
  }
#if defined(KS_EMU_ASAN)
  ASAN_UNPOISON_MEMORY_REGION(f.stack + 4096, kStack - 4096);
#endif
  f.ctx = bc::make_fcontext(f.stack + kStack - f.skew, kStack - 4096 - f.skew, fiber_main);
}

void set_fault(std::string what) {
  Scheduler& s = S();
  if (s.fault.empty()) s.fault = std::string(s.kernel) + ": " + what;
}

std::string hex(unsigned v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}

std::string where() {
  const Scheduler& s = S();
  return " (block " + std::to_string(s.block.x) + "," + std::to_string(s.block.y) + ")";
}

// Completes every warp whose shuffle all its named lanes reached. False after a fault.
bool resolve_shuffles(int n, bool& progressed) {
  Scheduler& s = S();
  for (int w0 = 0; w0 < n; w0 += 32) {
    const int lanes = std::min(32, n - w0);
    unsigned waiting = 0;
    for (int l = 0; l < lanes; ++l) waiting |= s.threads[size_t(w0 + l)].state == State::Shuffle ? 1u << l : 0u;
    if (waiting == 0) continue;
    for (int l = 0; l < lanes; ++l) {
      const Thread& t = s.threads[size_t(w0 + l)];
      if (t.state != State::Shuffle) continue;
      if (t.width != 32) {
        set_fault("shuffle of width " + std::to_string(t.width) + where());
        return false;
      }
      if (t.mask != waiting) {
        set_fault("shuffle mask " + hex(t.mask) + " but lanes " + hex(waiting) + " of warp " + std::to_string(w0 / 32) +
                  " arrived" + where());
        return false;
      }
    }
    for (int l = 0; l < lanes; ++l) {
      Thread& t = s.threads[size_t(w0 + l)];
      const unsigned src = t.mode == 0 ? unsigned(l) + t.arg : unsigned(l) ^ t.arg;
      t.out = src < 32 && (waiting >> src & 1u) ? s.threads[size_t(w0) + src].bits : t.bits;
    }
    for (int l = 0; l < lanes; ++l) s.threads[size_t(w0 + l)].state = State::Run;
    progressed = true;
  }
  return true;
}

// Runs one block to its end. False after a fault.
bool run_block(int n, bool reverse) {
  Scheduler& s = S();
  s.n = n;
  s.reverse = reverse;
  for (int i = 0; i < n; ++i) s.threads[size_t(i)].state = State::Run;
  for (;;) {
    for (int k = 0; k < n; ++k) {
      const int i = reverse ? n - 1 - k : k;
      if (s.threads[size_t(i)].state != State::Run) continue;
      s.pos = k;
      jump(i, &s.main);
      k = s.pos;
    }
    bool progressed = false;
    if (!resolve_shuffles(n, progressed)) return false;
    if (progressed) continue;
    int at_barrier = 0, done = 0;
    for (int i = 0; i < n; ++i) {
      at_barrier += s.threads[size_t(i)].state == State::Barrier;
      done += s.threads[size_t(i)].state == State::Done;
    }
    if (done == n) return true;
    if (done > 0) {
      set_fault("barrier reached by only part of the block (" + std::to_string(at_barrier) + " of " +
                std::to_string(n) + " threads; the rest had exited)" + where());
      return false;
    }
    for (int i = 0; i < n; ++i) s.threads[size_t(i)].state = State::Run;
  }
}

}  // namespace

bool g_reverse = false;

void fault(const char* what, const void* at) {
  char b[32] = "";
  if (at) std::snprintf(b, sizeof b, " at %p", at);
  set_fault(std::string(what) + b + where());
}

void check_aligned(const void* p, size_t align, const char* what) {
  if (reinterpret_cast<uintptr_t>(p) % align != 0) {
    fault((std::string(what) + " not " + std::to_string(align) + "-byte aligned").c_str(), p);
  }
}

const uint3& thread_idx() { return S().cur->idx; }
const uint3& block_idx() { return S().block; }
const uint3& block_dim() { return S().bdim; }
const uint3& grid_dim() { return S().gdim; }

void barrier() {
  S().cur->state = State::Barrier;
  yield();
}

uint32_t shuffle(unsigned mask, uint32_t bits, int mode, unsigned arg, int width) {
  Thread* t = S().cur;
  t->state = State::Shuffle;
  t->mask = mask;
  t->bits = bits;
  t->mode = mode;
  t->arg = arg;
  t->width = width;
  yield();
  return t->out;
}

unsigned char* dynamic_shared(size_t& bytes) {
  bytes = S().shared_bytes;
  return S().shared;
}

void run_grid(const Config& c, void (*body)(void*), void* ctx) {
  Scheduler& s = S();
  s.kernel = c.name;
  const uint64_t n = uint64_t(c.block.x) * c.block.y * c.block.z;
  std::string bad;
  if (n == 0 || n > kMaxThreads || c.block.x > 1024 || c.block.y > 1024 || c.block.z > 64) {
    bad = "block of " + std::to_string(c.block.x) + "x" + std::to_string(c.block.y) + "x" + std::to_string(c.block.z) +
          " threads";
  } else if (c.grid.x == 0 || c.grid.y == 0 || c.grid.z == 0 || c.grid.x > 0x7fffffffu || c.grid.y > 65535 ||
             c.grid.z > 65535) {
    bad = "grid of " + std::to_string(c.grid.x) + "x" + std::to_string(c.grid.y) + "x" + std::to_string(c.grid.z) +
          " blocks";
  } else if (c.shared > shared_limit()) {
    bad = std::to_string(c.shared) + " bytes of dynamic shared memory (limit " + std::to_string(shared_limit()) + ")";
  }
  if (!bad.empty()) {
    s.last_error = cudaErrorInvalidConfiguration;
    s.last_text = std::string("invalid launch of ") + c.name + ": " + bad;
    return;
  }
  s.body = body;
  s.body_ctx = ctx;
  s.bdim = {c.block.x, c.block.y, c.block.z};
  s.gdim = {c.grid.x, c.grid.y, c.grid.z};
  s.fault.clear();
  // One exact-size heap area per launch, so that an overrun shows under ASan as well.
  std::unique_ptr<unsigned char[]> area(c.shared ? new unsigned char[c.shared] : nullptr);
  s.shared = area.get();
  s.shared_bytes = c.shared;
  if (s.fibers.size() < n) {
    const size_t old = s.fibers.size();
    s.fibers.resize(n);
    for (size_t i = old; i < n; ++i) {
      s.fibers[i].skew = (i * 320) % 16384;
      reset(s.fibers[i]);
    }
  }
  s.threads.assign(n, Thread{});
  for (unsigned z = 0, i = 0; z < c.block.z; ++z) {
    for (unsigned y = 0; y < c.block.y; ++y) {
      for (unsigned x = 0; x < c.block.x; ++x) s.threads[i++].idx = {x, y, z};
    }
  }
  bool ok = true;
  for (unsigned bz = 0; ok && bz < c.grid.z; ++bz) {
    for (unsigned by = 0; ok && by < c.grid.y; ++by) {
      for (unsigned bx = 0; ok && bx < c.grid.x; ++bx) {
        s.block = {bx, by, bz};
        if (c.shared) std::memset(area.get(), 0xff, c.shared);  // NaN until written
        ok = run_block(int(n), g_reverse);
      }
    }
  }
  if (!ok) {
    for (size_t i = 0; i < n; ++i) {
      if (s.threads[i].state != State::Done) reset(s.fibers[i]);
    }
  }
  s.shared = nullptr;
  s.shared_bytes = 0;
  if (!s.fault.empty()) {
    s.last_error = cudaErrorLaunchFailure;
    s.last_text = s.fault;
  }
}

int take_last_error() {
  const int e = S().last_error;
  S().last_error = 0;
  return e;
}

const std::string& last_fault_text() { return S().last_text; }

}  // namespace kestrune::emu
