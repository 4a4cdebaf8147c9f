// The module function plan: which index kind suits the caller's keys, priced
// and ranked with the interpreter released.
#include <string>
#include <string_view>

#include "estimate.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "keys.hpp"

namespace quorvale::python {

namespace {

void set_item(PyObject* dict, const char* key, PyObject* value) {
  Ref v = Ref::check(value);
  if (PyDict_SetItemString(dict, key, v.get()) < 0) throw_error_set();
}

// Whether o is a collections.abc.Mapping. A test that raises is reported as
// unraisable and counts as no.
bool is_mapping(PyObject* o) {
  Ref abc(PyImport_ImportModule("collections.abc"));
  Ref mapping(abc ? PyObject_GetAttrString(abc.get(), "Mapping") : nullptr);
  const int r = mapping ? PyObject_IsInstance(o, mapping.get()) : -1;
  if (r < 0) {
    PyErr_WriteUnraisable(o);
    return false;
  }
  return r == 1;
}

Objective workload_of(PyObject* mapping) {
  static const char* const NAMES = "hits / misses / reverse / prefix / common_prefix / longest_prefix / batch";
  Objective objective;
  objective.tag = Objective::Tag::Workload;
  Workload& w = objective.workload;
  std::uint64_t* const fields[] = {&w.hits,   &w.misses,        &w.reverse,
                                   &w.prefix, &w.common_prefix, &w.longest_prefix};
  static const char* const FIELD_NAMES[] = {"hits", "misses", "reverse", "prefix", "common_prefix", "longest_prefix"};
  Ref items = Ref::check(PyMapping_Items(mapping));
  const Py_ssize_t count = PyList_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
    if (!PyTuple_Check(item.get()))
      raise_type_error(std::string("'").append(type_name(item.get())) + "' object is not an instance of 'tuple'");
    if (PyTuple_GET_SIZE(item.get()) != 2)
      raise_type_error("expected tuple of length 2, but got tuple of length " +
                       std::to_string(PyTuple_GET_SIZE(item.get())));
    PyObject* key = PyTuple_GET_ITEM(item.get(), 0);
    PyObject* value = PyTuple_GET_ITEM(item.get(), 1);
    if (!PyUnicode_Check(key)) raise_type_error("objective: an operation is named by a string");
    const std::string name(str_view(key));
    std::uint64_t* field = nullptr;
    for (std::size_t f = 0; f < std::size(FIELD_NAMES); ++f)
      if (name == FIELD_NAMES[f]) field = fields[f];
    if (!field && name != "batch") raise_value_error("objective: `" + name + "` is not one of " + NAMES);
    std::uint64_t v = 0;
    {
      Ref index(PyNumber_Index(value));
      if (index) v = PyLong_AsUnsignedLongLong(index.get());
      if (!index || (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        PyErr_Clear();
        raise_value_error("objective: `" + name + "` is not a whole number of 0 or more");
      }
    }
    if (field) {
      *field = v;
    } else {
      if (v > 0xffffffffULL) raise_value_error("objective: `batch` is past what a batch can hold");
      w.batch = static_cast<std::uint32_t>(v);
    }
  }
  return objective;
}

Objective convert_objective(PyObject* o) {
  if (PyUnicode_Check(o)) {
    const std::string_view name = str_view(o);
    Objective objective;
    if (name == "memory")
      objective.tag = Objective::Tag::Memory;
    else if (name == "latency")
      objective.tag = Objective::Tag::Latency;
    else if (name == "balanced")
      objective.tag = Objective::Tag::Balanced;
    else
      raise_value_error("objective: `" + std::string(name) + "` is not one of memory / latency / balanced");
    return objective;
  }
  if (PyDict_Check(o) || is_mapping(o)) return workload_of(o);
  raise_type_error("objective: a name, or a mapping from operation to weight");
}

PyObject* plan_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"keys", "reverse", "ordered", "prefix", "fuzzy", "exact", "objective"};
    static const Params p = params("plan", names, 1, 1);
    PyObject* a[7];
    read_args(p, args, nargs, kwnames, a);
    Needs needs;
    bool* const flags[] = {&needs.reverse, &needs.ordered, &needs.prefix, &needs.fuzzy, &needs.exact};
    for (int i = 0; i < 5; ++i)
      if (a[i + 1]) *flags[i] = arg_bool(a[i + 1], names[i + 1]);
    const Objective objective = objective_of(a[6]);
    BorrowedKeys keys = collect_strs(a[0]);
    const estimate::Plan plan = detached([&] { return estimate::plan_for(keys.views(), needs, objective); });
    keys.clear();
    return plan_dict(plan);
  });
}

}  // namespace

Objective objective_of(PyObject* o) {
  if (!o) return Objective{};
  try {
    return convert_objective(o);
  } catch (const PyErrorSet&) {
    add_processing_note("objective");
    throw;
  }
}

PyObject* estimate_dict(const estimate::Estimate& e, const estimate::Plan& plan) {
  Ref dict = Ref::check(PyDict_New());
  set_item(dict.get(), "kind", PyUnicode_FromString(kinds::of(e.kind).name));
  set_item(dict.get(), "bytes", new_int(e.bytes));
  const double per_key = plan.keys == 0 ? 0.0 : static_cast<double>(e.bytes) / static_cast<double>(plan.keys);
  set_item(dict.get(), "bytes_per_key", PyFloat_FromDouble(per_key));
  set_item(dict.get(), "block", e.block ? new_int(*e.block) : Py_NewRef(Py_None));
  set_item(dict.get(), "measured", PyBool_FromLong(e.measured));
  set_item(dict.get(), "nanos", PyFloat_FromDouble(plan.nanos(e)));
  return dict.release();
}

PyObject* plan_dict(const estimate::Plan& plan) {
  Ref dict = Ref::check(PyDict_New());
  set_item(dict.get(), "keys", new_int(plan.keys));
  set_item(dict.get(), "mean_length", PyFloat_FromDouble(plan.mean_length));
  set_item(dict.get(), "mean_lcp", PyFloat_FromDouble(plan.mean_lcp));
  set_item(dict.get(), "best", estimate_dict(plan.estimates.at(0), plan));
  Ref list = Ref::check(PyList_New(0));
  for (const estimate::Estimate& e : plan.estimates) {
    Ref one = Ref::check(estimate_dict(e, plan));
    if (PyList_Append(list.get(), one.get()) < 0) throw_error_set();
  }
  set_item(dict.get(), "estimates", list.release());
  set_item(dict.get(), "close", PyBool_FromLong(plan.close()));
  set_item(dict.get(), "thin", PyBool_FromLong(plan.thin()));
  const std::string text = plan.text();
  set_item(dict.get(), "text", new_str(text));
  return dict.release();
}

PyMethodDef plan_function = {
    "plan", fastcall(plan_fn), FASTCALL_KW,
    "plan(keys, *, reverse=False, ordered=False, prefix=False, fuzzy=False, exact=False, objective=...)\n--\n\n"
    "Which index kind suits these keys: every kind that can answer what is asked, priced in bytes and in modelled "
    "nanoseconds per lookup, best first.\n\n"
    "keys is any iterable of str, in any order, repeats allowed. The keyword arguments say what the index has to "
    "be able to do: reverse, key(id) as well as id(key); ordered, ids in key order with in-order iteration; prefix, "
    "prefix and range queries; fuzzy, Levenshtein and subsequence queries; exact, a non-member answered as one "
    "(no probabilistic kind). A kind that cannot do what is asked is left out rather than ranked last, so every "
    "estimate is a usable answer and best is always one of them.\n\n"
    "objective ranks by size (\"memory\", the default), by single-lookup speed (\"latency\"), by both "
    "(\"balanced\"), or by a workload: a mapping from hits, misses, reverse, prefix, common_prefix and "
    "longest_prefix to weights, and batch to the keys one batched call holds. A workload that asks for reverse "
    "or prefix operations leaves out the kinds that cannot serve them.\n\n"
    "Up to 100,000 distinct keys every kind is built and its size is exact (measured); above that the sizes are "
    "modelled from small builds on two reproducible samples of the keys. The nanoseconds are a model of one "
    "reference machine, not a measurement of yours.\n\n"
    "Returns a dict: keys (distinct), mean_length, mean_lcp, best, estimates (each a dict of kind, bytes, "
    "bytes_per_key, block, measured and nanos), close, thin and text (the plan as printed by `quorvale plan`). "
    "close means the two cheapest kinds lie within 1.3x, closer than an estimate can tell apart; thin means the "
    "mean suffix a key adds to the one before it is under 2 bytes, too short for a ratio measured on a sample to "
    "carry. Either way, build the candidates rather than trust the number. thin exists for dense id spaces: ten "
    "million decimal ids compress to a few hundred bytes whole, which no sample of 100,000 of them can see, so "
    "the StringIndex figure reads about a hundredfold high while still ranking first."};

}  // namespace quorvale::python
