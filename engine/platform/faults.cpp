// The test seam: counts the host layer's calls by kind and fails the one a test chose, and
// runs the hooks tests set at the moments of a job. Off, it costs one load per call.
#include "engine/platform/faults.h"

#include <atomic>
#include <cerrno>
#include <climits>

namespace {

struct t_platFaultPlan {
  std::atomic<bool> on{false};
  std::atomic<long> calls[PLAT_FAULT_OPS];
  t_platFaultOp op = PLAT_FAULT_OPEN;
  long nth = 0;  // 0: fail nothing
  long last = 0;  // calls nth to last fail
  int error = 0;
  std::size_t shortCount = 0;
  // The kinds of the last calls, by their place in the count of all calls.
  static constexpr int kRecent = 64;
  std::atomic<long> total{0};
  std::atomic<int> recent[kRecent];
};

t_platFaultPlan plan;

std::atomic<void (*)(const void*)> hooks[PLAT_MOMENTS];

void reset(t_platFaultOp op, long nth, long last, int error, std::size_t shortCount) {
  plan.on.store(false);
  for (auto& c : plan.calls) c.store(0);
  plan.total.store(0);
  plan.op = op;
  plan.nth = nth;
  plan.error = error;
  plan.last = last;
  plan.shortCount = shortCount;
  plan.on.store(true);
}

}  // namespace

void platFaultCount() { reset(PLAT_FAULT_OPEN, 0, 0, 0, 0); }

void platFaultArm(t_platFaultOp op, long nth, int error, std::size_t shortCount, bool persist) {
  reset(op, nth, persist ? LONG_MAX : nth, error, shortCount);
}

void platFaultArmRun(t_platFaultOp op, long first, long count, int error) {
  reset(op, first, first + count - 1, error, 0);
}

void platFaultOff() { plan.on.store(false); }

long platFaultCalls(t_platFaultOp op) { return plan.calls[op].load(); }

int platFaultRecent(t_platFaultOp* out, int max) {
  long total = plan.total.load();
  long kept = total < t_platFaultPlan::kRecent ? total : t_platFaultPlan::kRecent;
  long n = kept < max ? kept : max;
  for (long i = 0; i < n; i++)
    out[i] = (t_platFaultOp)plan.recent[(total - n + i) % t_platFaultPlan::kRecent].load();
  return (int)n;
}

bool platFaultOn() { return plan.on.load(std::memory_order_acquire); }

int platFaultHit(t_platFaultOp op, std::size_t* count) {
  if (!platFaultOn()) return 0;
  long n = plan.calls[op].fetch_add(1) + 1;
  plan.recent[plan.total.fetch_add(1) % t_platFaultPlan::kRecent].store(op);
  if (op != plan.op || plan.nth == 0 || n < plan.nth || n > plan.last) return 0;
  if (plan.error) return plan.error;
  if (op == PLAT_FAULT_ALLOC) return ENOMEM;  // a block cannot come short
  if (op == PLAT_FAULT_THREAD) return EAGAIN;  // nor a thread
  // A transfer that moves nothing would read as the end of the file: at least one byte moves.
  std::size_t most = plan.shortCount > 0 ? plan.shortCount : 1;
  if (count && *count > most) *count = most;
  return 0;
}

void platMomentHook(t_platMoment moment, void (*hook)(const void*)) { hooks[moment].store(hook); }

void platMoment(t_platMoment moment, const void* detail) {
  void (*hook)(const void*) = hooks[moment].load(std::memory_order_acquire);
  if (hook) hook(detail);
}
