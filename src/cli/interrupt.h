// Ctrl-C in the chat REPL: the first one asks the running reply to stop, a second one
// before it was taken ends the process as the default action would.
#pragma once

namespace kestrune {

// Installs the SIGINT handler for its lifetime and restores the previous one after. Reads
// of standard input are not restarted after the signal, so a prompt waiting for a line
// returns.
struct InterruptScope {
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
};

bool interrupt_pending();
void clear_interrupt();

}  // namespace kestrune
