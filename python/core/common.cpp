// The parts of the C++ core every other part uses: the engine's errors and messages, names
// between Python and the engine, the job lock, and interrupts during and after a job, with
// the wrapper the package's entry points run through.
#include "python/core/common.h"

#include <pthread.h>

#include <cstring>
#include <new>

namespace tarnpak_core {

// ---- errors and the engine's messages -----------------------------------------------------

namespace {

PyObject* g_errorType = nullptr;
// Makes the tarnpak.Error (or its OSError subclass) for a message: set by the package, which
// knows the errno behind the engine's reasons.
py::object* g_errorFactory = nullptr;

void raiseEngineError(const std::string& message) {
  if (g_errorFactory && *g_errorFactory) {
    py::object error = (*g_errorFactory)(message);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  } else {
    PyErr_SetString(g_errorType, message.c_str());
  }
}

}  // namespace

const std::string& cPath(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return path;
}

std::timed_mutex g_jobLock;
std::mutex g_messageLock;
std::vector<std::string> g_reports;
std::vector<std::string> g_warnings;

void collectReport(const char* message) {
  std::lock_guard<std::mutex> hold(g_messageLock);
  g_reports.emplace_back(message);
}

void collectWarning(const char* message) {
  std::lock_guard<std::mutex> hold(g_messageLock);
  g_warnings.emplace_back(message);
}

std::string joinedReports(const char* fallback) {
  std::string text;
  for (const std::string& r : g_reports) text += (text.empty() ? "" : "\n") + r;
  return text.empty() ? fallback : text;
}

py::str nameToPython(const char* name) {
  PyObject* s = PyUnicode_DecodeUTF8(name, (Py_ssize_t)std::strlen(name), "surrogateescape");
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

std::string nameFromPython(const py::handle& name) {
  if (PyBytes_Check(name.ptr()))
    return cPath(std::string(py::bytes(py::reinterpret_borrow<py::bytes>(name))));
  PyObject* b = PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogateescape");
  if (!b) throw py::error_already_set();
  return cPath(std::string(py::reinterpret_steal<py::bytes>(b)));
}

// ---- interrupts during a job --------------------------------------------------------------

namespace {

// With the GIL: runs Python's signal handlers; true when one raised, its exception then kept
// in state.
bool handlerRaised(Interrupt* state) {
  if (PyErr_CheckSignals() == 0) return false;
  PyErr_Fetch(&state->type, &state->value, &state->traceback);
  return state->type != nullptr;
}

}  // namespace

int checkInterrupt(void* context) {
  auto* state = static_cast<Interrupt*>(context);
  if (state->type) return 1;
  auto now = std::chrono::steady_clock::now();
  if (now < state->next) return 0;
  state->next = now + std::chrono::milliseconds(20);
  py::gil_scoped_acquire held;
  return handlerRaised(state) ? 1 : 0;
}

bool awaitJobLock(Interrupt* state) {
  while (!g_jobLock.try_lock_for(std::chrono::milliseconds(50))) {
    py::gil_scoped_acquire held;
    if (handlerRaised(state)) return false;
  }
  return true;
}

[[noreturn]] void raiseKept(Interrupt* state) {
  PyErr_Restore(state->type, state->value, state->traceback);
  state->type = state->value = state->traceback = nullptr;
  throw py::error_already_set();
}

// ---- interrupts after a job's end ---------------------------------------------------------
// A KeyboardInterrupt out of a call must mean that the job was stopped (an older group kept
// whole); a signal that comes once the job has done its work (the new group in place) must
// not be raised inside the call. Python raises a pending signal at its next check, which
// the package's own code after the job would be. So the package's entry points run through
// a Deferring object (a callable of this core, no Python frame of its own): once a job of
// the call has ended, the signal handlers are run at once and what they raise is held back,
// as is an interrupt the package's code after the job meets; when the entry point returns,
// the held exception is handed to Python as a pending call, which raises it in the caller.
// Signal handlers run in the main thread only, so only its calls ever hold one back.

namespace {

struct Deferral {
  int depth = 0;         // entry points running on this thread, nested
  bool jobEnded = false;  // a job of the outermost one ran to its end
  PyObject* type = nullptr;  // the exception held back, owned; null: none
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};
thread_local Deferral tDeferral;
unsigned long g_mainThread = 0;  // Python's main thread, where signal handlers run

int raiseHeldBack(void*) {
  Deferral& d = tDeferral;
  if (!d.type) return 0;
  PyErr_Restore(d.type, d.value, d.traceback);
  d.type = d.value = d.traceback = nullptr;
  return -1;
}

}  // namespace

bool insideEntryPoint() { return tDeferral.depth > 0; }

void holdBack() {
  Deferral& d = tDeferral;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (d.type) {  // one is held already: a second Ctrl-C says nothing more
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  // Raised afresh in the caller: the frames it passed inside the package are not where it
  // ends the caller's code.
  Py_CLEAR(traceback);
  if (value) PyException_SetTraceback(value, Py_None);
  if (value && PyObject_HasAttrString(value, "add_note")) {
    PyObject* noted = PyObject_CallMethod(
        value, "add_note", "s",
        "tarnpak: this interrupt came once the call's job had ended, and did not stop it");
    if (noted)
      Py_DECREF(noted);
    else
      PyErr_Clear();
  }
  d.type = type;
  d.value = value;
  d.traceback = traceback;
}

void jobEnded() {
  Deferral& d = tDeferral;
  if (d.depth == 0) return;  // called on its own: the signal stays pending, as ever
  d.jobEnded = true;
  if (PyErr_CheckSignals() != 0) holdBack();
}

namespace {

// The package's entry points: func called through this, so that an interrupt after a job's
// end is raised in the caller, after the call (see Deferral).
class Deferring {
 public:
  explicit Deferring(py::object func) : func_(std::move(func)) {}

  py::object call(const py::args& args, const py::kwargs& kwargs) {
    Deferral& d = tDeferral;
    bool outermost = d.depth == 0;
    if (outermost) d.jobEnded = false;
    d.depth++;
    py::object result = py::none();
    PyObject* out = PyObject_Call(func_.ptr(), args.ptr(), kwargs.ptr());
    d.depth--;
    if (out)
      result = py::reinterpret_steal<py::object>(out);
    else if (d.jobEnded && PyThread_get_thread_ident() == g_mainThread &&
             PyErr_ExceptionMatches(PyExc_KeyboardInterrupt))
      holdBack();  // met by the package's code after the job: the caller never sees a result
    if (outermost) {
      if (d.type && Py_AddPendingCall(raiseHeldBack, nullptr) != 0) {
        PyErr_Clear();  // Python's queue is full: raised here rather than lost
        raiseHeldBack(nullptr);
      }
      d.jobEnded = false;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return result;
  }

  // As a class attribute: a method, bound to the instance it is reached through.
  py::object get(const py::object& instance, const py::object&) {
    if (instance.is_none()) return py::cast(Deferring(func_));
    PyObject* bound = PyMethod_New(func_.ptr(), instance.ptr());
    if (!bound) throw py::error_already_set();
    return py::cast(Deferring(py::reinterpret_steal<py::object>(bound)));
  }

  const py::object& func() const { return func_; }

 private:
  py::object func_;
};

// ---- fork ---------------------------------------------------------------------------------
// A child has only the thread that forked. A lock another thread held at that moment would
// stay held in the child for good, and what it guards might be half changed: the locks held
// only briefly are taken around the fork, so the child gets them free and their state
// whole; the job lock, held for a whole job, is made anew in the child, where no job runs.
// Each part registers its own handlers (the group's readers, the manager's lock and table).
void beforeFork() { g_messageLock.lock(); }
void afterForkInParent() { g_messageLock.unlock(); }
void afterForkInChild() {
  g_messageLock.unlock();
  new (&g_jobLock) std::timed_mutex;
  g_mainThread = PyThread_get_thread_ident();  // Python's main thread now
}

}  // namespace

void registerCommon(py::module_& m) {
  static py::exception<EngineError> error(m, "Error", PyExc_OSError);
  g_errorType = error.ptr();
  error.attr("__module__") = "tarnpak";
  error.doc() = "A failure the engine reported; the message is the engine's own.";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const EngineError& e) {
      raiseEngineError(e.message);
    }
  });
  // Kept for the life of the process: the interpreter may drop the module before the last
  // error is made.
  g_errorFactory = new py::object();
  m.def("_set_error_factory", [](py::object factory) { *g_errorFactory = std::move(factory); });

  py::class_<Deferring>(m, "_Deferring")
      .def(py::init<py::object>())
      .def("__call__", &Deferring::call)
      .def("__get__", &Deferring::get, py::arg("instance"), py::arg("owner") = py::none())
      .def_property_readonly("__wrapped__", &Deferring::func)
      .def_property_readonly("__doc__", [](const Deferring& d) { return d.func().attr("__doc__"); })
      .def("__getattr__", [](const Deferring& d, const py::str& name) {  // __name__, ...
        return py::getattr(d.func(), name);
      })
      .def("__repr__", [](const Deferring& d) { return py::repr(d.func()); });

  g_mainThread = py::module_::import("threading").attr("main_thread")().attr("ident")
                     .cast<unsigned long>();
  pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
}

}  // namespace tarnpak_core
