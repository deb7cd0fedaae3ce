#include "cli/interrupt.h"

#include <atomic>
#include <csignal>

namespace kestrune {

namespace {

std::atomic<bool> g_pending{false};
struct sigaction g_previous {};

extern "C" void on_interrupt(int) {
  if (g_pending.exchange(true)) {
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
  }
}

}  // namespace

InterruptScope::InterruptScope() {
  g_pending = false;
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocked read returns
  sigaction(SIGINT, &sa, &g_previous);
}

InterruptScope::~InterruptScope() {
  sigaction(SIGINT, &g_previous, nullptr);
  g_pending = false;
}

bool interrupt_pending() { return g_pending.load(); }

void clear_interrupt() { g_pending = false; }

}  // namespace kestrune
