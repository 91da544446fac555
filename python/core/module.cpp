// The Python module's C++ core, _tarnpak, over the engine's public API: group directories
// and stored bytes (group.cpp), the builder, the unpacker and group edits (jobs.cpp), and the
// process-wide manager with its file handles (manager.cpp), on what they share (common.cpp).
// The Python package (tarnpak/__init__.py) builds the documented classes on top of this.
#include "python/core/common.h"

PYBIND11_MODULE(_tarnpak, m) {
  m.doc() = "The engine core of the tarnpak package; use the package, not this module.";
  m.attr("__version__") = TARNPAK_VERSION;
  tarnpak_core::registerCommon(m);
  tarnpak_core::registerGroup(m);
  tarnpak_core::registerJobs(m);
  tarnpak_core::registerManager(m);
}
