// The module function _cli: the program behind the `quorvale` command.
#include <string>
#include <vector>

#include "cli/cli.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "keys.hpp"

namespace quorvale::python {

namespace {

// The arguments as owned strings: the list may change once we detach.
std::vector<std::string> arguments(PyObject* o) {
  try {
    require_sequence(o);
    std::vector<std::string> out;
    Ref it = Ref::check(PyObject_GetIter(o));
    while (PyObject* item = PyIter_Next(it.get())) {
      Ref held(item);
      out.emplace_back(str_view(held.get()));
    }
    if (PyErr_Occurred()) throw_error_set();
    return out;
  } catch (const PyErrorSet&) {
    add_processing_note("args");
    throw;
  }
}

PyObject* cli_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"args"};
    static const Params p = params("_cli", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    const std::vector<std::string> argv = arguments(a[0]);
    const int status = detached([&] { return cli::run(argv); });
    return PyLong_FromLong(status);
  });
}

}  // namespace

PyMethodDef cli_function = {
    "_cli", fastcall(cli_fn), FASTCALL_KW,
    "_cli(args)\n--\n\n"
    "The program behind the `quorvale` command and `python -m quorvale`, run over the process's own standard "
    "streams (descriptors 0, 1 and 2, not sys.stdin / sys.stdout / sys.stderr).\n\n"
    "args is the command line without the program name; the return is the exit status: 0, 1 when the work "
    "failed, 2 when the command line did. A build of a large corpus runs for minutes, so the whole command runs "
    "detached from the interpreter; SIGINT or SIGTERM stops it (status 130 or 143, every file it made removed), "
    "and the handlers in place before the call are back when it returns. Standard output is flushed before "
    "returning, because nothing else flushes it when the process exits and a last line without its newline would "
    "otherwise be lost."};

}  // namespace quorvale::python
