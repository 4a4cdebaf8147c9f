// Stopping a command on SIGINT or SIGTERM. The command runs inside a host
// process (the interpreter) whose own handlers would only note the signal
// for later, so for the length of a run the command installs handlers of its
// own that record the signal; the key loops, the builds' probes and the
// final commit ask for it, and the command unwinds, removing what it made.
#include <signal.h>

#include <atomic>

#include "cli.hpp"

namespace quorvale::cli {

namespace {

std::atomic<int> caught{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only touch a lock-free atomic");

extern "C" void record_signal(int signal) { caught.store(signal, std::memory_order_relaxed); }

constexpr int STOPPING[] = {SIGINT, SIGTERM};

}  // namespace

int interrupted() noexcept { return caught.load(std::memory_order_relaxed); }

void stop_if_interrupted() {
  if (const int signal = interrupted()) throw Fail::interrupted(signal);
}

const StopProbe& stop_probe() {
  static const StopProbe probe = [] { return interrupted() != 0; };
  return probe;
}

SignalScope::SignalScope() {
  caught.store(0, std::memory_order_relaxed);
  for (std::size_t i = 0; i < std::size(STOPPING); ++i) {
    struct sigaction now {};
    if (::sigaction(STOPPING[i], nullptr, &previous_[i]) != 0) continue;
    // A signal the process was started to ignore stays ignored (nohup, a
    // shell's background job).
    if (!(previous_[i].sa_flags & SA_SIGINFO) && previous_[i].sa_handler == SIG_IGN) continue;
    now.sa_handler = record_signal;
    sigemptyset(&now.sa_mask);
    // No SA_RESTART: a read blocked on a terminal or a pipe returns, so the
    // key loop sees the signal without waiting for the next line.
    now.sa_flags = 0;
    installed_[i] = ::sigaction(STOPPING[i], &now, nullptr) == 0;
  }
}

SignalScope::~SignalScope() {
  for (std::size_t i = 0; i < std::size(STOPPING); ++i)
    if (installed_[i]) ::sigaction(STOPPING[i], &previous_[i], nullptr);
  caught.store(0, std::memory_order_relaxed);
}

}  // namespace quorvale::cli
