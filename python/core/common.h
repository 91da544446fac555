// What the parts of the Python module's C++ core share: the engine's errors and messages,
// names between Python and the engine, the job lock, and interrupts during and after a job.
// Each part (group.cpp, jobs.cpp, manager.cpp) adds its classes and functions to the module
// through its register function, which module.cpp calls.
#pragma once
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "tarnpak/gf.h"

namespace py = pybind11;

namespace tarnpak_core {

// ---- the parts ---------------------------------------------------------------------------
void registerCommon(py::module_& m);  // the error type and the package's entry-point wrapper
void registerGroup(py::module_& m);
void registerJobs(py::module_& m);
void registerManager(py::module_& m);

// ---- errors and the engine's messages -----------------------------------------------------

// Raised with the engine's own message; tarnpak.Error in Python, a subclass of OSError.
struct EngineError {
  std::string message;
};

// A path for the engine, which takes it up to its first NUL: one holding NUL is refused, as
// Python's own file functions refuse it, instead of naming another file.
const std::string& cPath(const std::string& path);

// The report callbacks carry no context, so one job at a time collects into these, under
// the job lock. The builder may report from its pool threads, hence the lock around the
// lists themselves. The job lock is timed so that a job waiting for another's end still
// hears Ctrl-C.
extern std::timed_mutex g_jobLock;
extern std::mutex g_messageLock;
extern std::vector<std::string> g_reports;
extern std::vector<std::string> g_warnings;
void collectReport(const char* message);
void collectWarning(const char* message);
// The reports so far, one a line; fallback when there are none.
std::string joinedReports(const char* fallback);

// Stored names are bytes; Python sees them as file names are seen: UTF-8, any other byte
// kept as a lone surrogate (os.fsdecode), so that every name converts back unchanged.
py::str nameToPython(const char* name);
std::string nameFromPython(const py::handle& name);

// ---- interrupts during a job --------------------------------------------------------------
// A job runs without the GIL, so Python's own handler of Ctrl-C only notes the signal. The
// engine asks checkInterrupt between pieces of the job; at most every 20 ms it takes the GIL
// and lets Python run its signal handlers. An exception they raise (KeyboardInterrupt) stops
// the job, which ends as an interrupted tool run ends, and is raised when the job returns.
struct Interrupt {
  std::chrono::steady_clock::time_point next{};
  PyObject* type = nullptr;  // the exception a handler raised, owned; null: none
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};

// The engine's cancel check for a job under state.
int checkInterrupt(void* context);
// Without the GIL: takes the job lock, which another thread's job may hold for seconds,
// waiting in short slices between which the signal handlers run. False when one raised an
// exception (kept in state): the lock is not taken then.
bool awaitJobLock(Interrupt* state);
// Raises the exception kept in state.
[[noreturn]] void raiseKept(Interrupt* state);

// ---- interrupts after a job's end ---------------------------------------------------------
// A KeyboardInterrupt out of a call must mean that the job was stopped; a signal that comes
// once the job has done its work must not be raised inside the call (see common.cpp).

// Whether an entry point of the package runs on this thread.
bool insideEntryPoint();
// With the GIL: keeps the exception being raised (the error indicator) to be raised after
// the call, with a note saying what it came after.
void holdBack();
// With the GIL, after a job ran to its end (its own failure included): inside an entry point,
// a signal that came meanwhile is handled now and what it raised held back.
void jobEnded();

// Runs job (which returns a status) without the GIL under the job lock, interruptible; raises
// what a signal handler raised while it waited for the lock or while the job ran (which then
// stopped it). A job that finished its work although a handler raised meanwhile keeps it
// held back, as a signal after its end.
template <class Job>
int runJob(Job job) {
  Interrupt state;
  int status = 0;
  bool ran = false;
  {
    py::gil_scoped_release unlocked;
    if (awaitJobLock(&state)) {
      std::lock_guard<std::timed_mutex> hold(g_jobLock, std::adopt_lock);
      gfSetCancelCheck(checkInterrupt, &state);
      status = job();
      gfSetCancelCheck(nullptr, nullptr);
      ran = true;
    }
  }
  if (state.type && (!ran || status != 0 || !insideEntryPoint())) raiseKept(&state);
  if (state.type) {
    PyErr_Restore(state.type, state.value, state.traceback);
    holdBack();
  }
  jobEnded();
  return status;
}

}  // namespace tarnpak_core
