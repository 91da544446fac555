// Holds the read worker at a known point: while the gate is closed, the worker waits before
// serving a request (until the gate opens or the worker is told to stop). Also records the
// ids served, and offers a bounded wait for a condition.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/gf/manager/reader.h"
#include "engine/platform/faults.h"

// Polls cond until it holds or ten seconds pass; true when it held.
template <typename Cond>
bool waitFor(Cond cond) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

class ReaderGate {
 public:
  static void install() {
    reset();
    platMomentHook(PLAT_MOMENT_READ_SERVED, hook);
  }
  static void remove() { platMomentHook(PLAT_MOMENT_READ_SERVED, nullptr); }
  static void close() {
    std::lock_guard<std::mutex> g(state().lock);
    state().closed = true;
  }
  static void open() {
    std::lock_guard<std::mutex> g(state().lock);
    state().closed = false;
    state().change.notify_all();
  }
  // Waits until the worker is held at the gate.
  static bool waitUntilHeld() {
    return waitFor([] {
      std::lock_guard<std::mutex> g(state().lock);
      return state().held;
    });
  }
  static std::vector<long> served() {
    std::lock_guard<std::mutex> g(state().lock);
    return state().ids;
  }

 private:
  struct State {
    std::mutex lock;
    std::condition_variable change;
    bool closed = false;
    bool held = false;
    std::vector<long> ids;
  };
  static State& state() {
    static State s;
    return s;
  }
  static void reset() {
    std::lock_guard<std::mutex> g(state().lock);
    state().closed = state().held = false;
    state().ids.clear();
  }
  static void hook(const void* detail) {
    auto* request = static_cast<const t_gfReadRequest*>(detail);
    std::unique_lock<std::mutex> g(state().lock);
    while (state().closed && !gfReadStopRequested()) {
      state().held = true;
      state().change.wait_for(g, std::chrono::milliseconds(1));
    }
    state().held = false;
    state().ids.push_back(request->id);
  }
};
