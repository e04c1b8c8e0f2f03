// bootmgr's replacement for the C++ runtime's default terminate handler.
//
// The runtime's own handler names the type of the exception that escaped,
// through a demangler that is larger than everything else bootmgr takes from
// the runtime. bootmgr throws nothing of its own (its operations report
// failure through return values), so a fixed line before the abort says as
// much as the switch's console needs.
#include <unistd.h>

#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
    static const char kMessage[] = "bootmgr: terminate called\n";
    const ssize_t written = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    (void)written;  // abort follows whether the line got out or not
    std::abort();
}

}  // namespace __gnu_cxx
