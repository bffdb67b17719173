// Lines that native code writes to the process's standard output. Python's
// sys.stdout is flushed first, so the line lands after everything Python has
// printed before it, and the line itself goes straight to file descriptor 1.
#pragma once

#include <string_view>

namespace larkspan::py {

// Needs the interpreter lock. Pending signals (Ctrl-C) are checked after the
// line is out: a raised KeyboardInterrupt ends the running call by throwing
// PyErrSet.
void write_stdout_line(std::string_view line);

}  // namespace larkspan::py
