// Where the stream's threads run: a helper thread started away from its
// creator, and a thread held to its processor while it sleeps. Best efforts
// throughout: where the system cannot tell or refuses, nothing is moved.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <functional>

namespace kelm {

/// Where the calling thread runs now and where it may run. Where the system
/// cannot tell, known() is false.
struct Placement {
  Placement();
  bool known() const { return here >= 0; }
  bool several() const { return !known() || CPU_COUNT(&allowed) > 1; }

  int here = -1;
  cpu_set_t allowed{};
};

/// A second thread, started where the system allows on another processor
/// than its creator's, then free to run anywhere its creator may: a new
/// thread queued behind its creator can wait there for milliseconds.
class Helper {
 public:
  /// Starts `body`. Throws std::system_error when no thread can be had.
  explicit Helper(std::function<void()> body);
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;
  ~Helper() { join(); }

  void join();

 private:
  static void* enter(void* self);

  std::function<void()> body_;
  cpu_set_t allowed_{};
  bool widen_ = false;
  pthread_t thread_{};
  bool joined_ = false;
};

/// Lets the processor know the thread is waiting on another (a hint only).
void relax();

/// Keeps the calling thread on the processor it runs on for as long as it
/// lives, then gives back the processors it was allowed before: around a
/// sleep, so that the thread wakes where it slept.
class StayHere {
 public:
  StayHere();
  StayHere(const StayHere&) = delete;
  StayHere& operator=(const StayHere&) = delete;
  ~StayHere();

 private:
  cpu_set_t allowed_{};
  bool pinned_ = false;
};

}  // namespace kelm
