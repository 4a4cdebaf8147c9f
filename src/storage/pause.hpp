// The pause of a long walk: a hook the walk calls now and then between its
// steps, never inside one, so that its caller can look up while it runs (a
// Python caller re-attaches to the interpreter to run its signal handlers)
// and end the walk by throwing. An empty hook is never called.
#pragma once

#include <cstdint>
#include <type_traits>

namespace quorvale {

// A reference to the caller's hook, which must outlive the walk: two words,
// made for nothing on every call of a short walk that never pauses.
class Pause {
 public:
  Pause() noexcept = default;
  template <class F>
    requires(!std::is_same_v<std::remove_cv_t<F>, Pause>)
  Pause(F& hook) noexcept  // implicit: a walk is handed the hook itself
      : hook_(const_cast<void*>(static_cast<const void*>(&hook))),
        call_([](void* h) { (*static_cast<F*>(h))(); }) {}
  explicit operator bool() const noexcept { return call_ != nullptr; }
  void operator()() const { call_(hook_); }

 private:
  void* hook_ = nullptr;
  void (*call_)(void*) = nullptr;
};

// Calls the pause, if any, out of line: a walk's loop keeps the call (and
// its unwinding) off its hot path.
[[gnu::noinline, gnu::cold]] inline void take_pause(const Pause& pause) {
  if (pause) pause();
}

// Counts a walk's steps and calls the pause once `every` steps have passed.
class Pacer {
 public:
  static constexpr std::uint64_t EVERY = std::uint64_t{1} << 14;

  explicit Pacer(const Pause& pause, std::uint64_t every = EVERY) noexcept
      : pause_(pause), every_(every), left_(every) {}
  void step(std::uint64_t cost = 1) {
    if (cost < left_) {
      left_ -= cost;
      return;
    }
    left_ = every_;
    take_pause(pause_);
  }

 private:
  const Pause& pause_;
  std::uint64_t every_;
  std::uint64_t left_;
};

}  // namespace quorvale
