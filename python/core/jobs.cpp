// The engine's jobs for Python: a pack of a build list, an edit of a group, a patch between
// two groups, an unpack, each
// run without the GIL under the job lock, and the thread count they use. A new job is one
// function here that fills its engine options record and runs it through runReporting, and
// one line in registerJobs.
#include <string>
#include <unordered_set>
#include <vector>

#include "python/core/common.h"

namespace tarnpak_core {

namespace {

// What a job said: its status, its errors and its warnings.
struct Outcome {
  int status = 0;
  std::vector<std::string> reports;
  std::vector<std::string> warnings;
};

// Runs call, which runs one engine job with collectReport and collectWarning as its hooks
// and returns its status, through runJob; takes what the job reported.
template <class Call>
Outcome runReporting(Call call) {
  Outcome out;
  out.status = runJob([&] {
    g_reports.clear();
    g_warnings.clear();
    int result = call();
    out.reports.swap(g_reports);
    out.warnings.swap(g_warnings);
    return result;
  });
  return out;
}

// (status, errors, warnings) of a pack of root's build list into output.
py::tuple pack(const std::string& root, const std::string& output, const py::object& sums) {
  cPath(root);
  cPath(output);
  std::string sumsPath = sums.is_none() ? std::string() : sums.cast<std::string>();
  if (!sums.is_none()) cPath(sumsPath);
  Outcome o = runReporting([&] {
    t_gfPackOptions options{};
    options.size = sizeof options;
    options.root = root.c_str();
    options.name = output.c_str();
    options.flag = 1;
    options.sums = sums.is_none() ? nullptr : sumsPath.c_str();
    options.report = collectReport;
    options.warn = collectWarning;
    return gfPackJob(&options);
  });
  return py::make_tuple(o.status, o.reports, o.warnings);
}

// (status, errors, warnings) of an edit of the group at path: adds (paths below root) and
// removes (stored names); a missing group is made when create is set.
py::tuple edit(const std::string& path, const std::string& root, const py::list& adds,
               const py::list& removes, bool create) {
  cPath(path);
  cPath(root);
  std::vector<std::string> addNames, removeNames;
  for (const py::handle& a : adds) addNames.push_back(nameFromPython(a));
  for (const py::handle& r : removes) removeNames.push_back(nameFromPython(r));
  std::vector<const char*> addPointers, removePointers;
  for (const std::string& a : addNames) addPointers.push_back(a.c_str());
  for (const std::string& r : removeNames) removePointers.push_back(r.c_str());
  Outcome o = runReporting([&] {
    t_gfEditOptions options{};
    options.size = sizeof options;
    options.path = path.c_str();
    options.flags = create ? GF_EDIT_NEW_GROUP : 0;
    options.root = root.c_str();
    options.adds = addPointers.data();
    options.addCount = (int)addPointers.size();
    options.removes = removePointers.data();
    options.removeCount = (int)removePointers.size();
    options.report = collectReport;
    options.warn = collectWarning;
    return gfEditJob(&options);
  });
  return py::make_tuple(o.status, o.reports, o.warnings);
}

// One name a patch tells of, kept past the job (the engine's texts go with it).
struct PatchName {
  std::string name;
  t_gfPatchEntry entry;
};

void collectPatchName(const t_gfPatchEntry* entry, void* context) {
  static_cast<std::vector<PatchName>*>(context)->push_back({entry->name, *entry});
}

// (status, errors, warnings, names) of a patch from the group oldPath to newPath written as
// output; names: (name, change, size, date, time, redated, newDate, newTime) in name order.
py::tuple patch(const std::string& oldPath, const std::string& newPath, const std::string& output,
                const py::object& sums) {
  cPath(oldPath);
  cPath(newPath);
  cPath(output);
  std::string sumsPath = sums.is_none() ? std::string() : sums.cast<std::string>();
  if (!sums.is_none()) cPath(sumsPath);
  std::vector<PatchName> told;
  Outcome o = runReporting([&] {
    t_gfPatchOptions options{};
    options.size = sizeof options;
    options.oldPath = oldPath.c_str();
    options.newPath = newPath.c_str();
    options.path = output.c_str();
    options.sums = sums.is_none() ? nullptr : sumsPath.c_str();
    options.told = collectPatchName;
    options.context = &told;
    options.report = collectReport;
    options.warn = collectWarning;
    return gfPatchJob(&options);
  });
  py::list names;
  for (const PatchName& n : told)
    names.append(py::make_tuple(nameToPython(n.name.c_str()), n.entry.change, n.entry.size,
                                n.entry.date, n.entry.time, n.entry.redated != 0,
                                n.entry.newDate, n.entry.newTime));
  return py::make_tuple(o.status, o.reports, o.warnings, names);
}

struct Selection {
  std::unordered_set<std::string> keys;  // stored forms
};

int selectStored(const char* name, void* context) {
  auto* s = static_cast<Selection*>(context);
  char key[256];
  return gfStoredForm(name, key) && s->keys.count(key);
}

// (status, errors) of unpacking the group at path below the directory target; names (None:
// all) chooses entries by their stored form.
py::tuple unpack(const std::string& path, const std::string& target, const py::object& names) {
  cPath(path);
  cPath(target);
  Selection selection;
  bool all = names.is_none();
  if (!all) {
    for (const py::handle& n : names) {
      std::string raw = nameFromPython(n);
      char key[256];
      if (raw.size() <= 255 && gfStoredForm(raw.c_str(), key)) selection.keys.insert(key);
    }
  }
  Outcome o = runReporting([&] {
    t_gfUnpackOptions options{};
    options.size = sizeof options;
    options.path = path.c_str();
    options.target = target.c_str();
    options.select = all ? nullptr : selectStored;
    options.context = &selection;
    options.report = collectReport;
    return gfUnpackJob(&options);
  });
  return py::make_tuple(o.status, o.reports);
}

void setThreads(int count) {
  if (count < 0) throw py::value_error("the thread count cannot be negative");
  gfSetThreads(count);
}

}  // namespace

void registerJobs(py::module_& m) {
  m.def("pack", &pack, py::arg("root"), py::arg("output"), py::arg("sums") = py::none());
  m.def("edit", &edit);
  m.def("patch", &patch, py::arg("old"), py::arg("new"), py::arg("output"),
        py::arg("sums") = py::none());
  m.def("unpack", &unpack);
  m.def("set_threads", &setThreads);
}

}  // namespace tarnpak_core
