#include "python/console.h"

#include <cerrno>
#include <unistd.h>

#include "python/binding.h"

namespace larkspan::py {

namespace {

void flush_python_stdout() {
    PyObject *out = PySys_GetObject("stdout");  // borrowed; may be None or missing
    if (!out || out == Py_None) return;
    Obj r(PyObject_CallMethod(out, "flush", nullptr));
    if (r) return;
    // A broken sys.stdout must not fail the search, but an interrupt that
    // arrived meanwhile (KeyboardInterrupt, SystemExit) ends it.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrSet{};
    PyErr_Clear();
}

void write_fd(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // closed or full: progress output is best effort
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace

void write_stdout_line(std::string_view line) {
    flush_python_stdout();
    write_fd(1, line);
    if (PyErr_CheckSignals() < 0) throw PyErrSet{};
}

}  // namespace larkspan::py
