// The boot-loader environment text, as any bytes a corrupt or hostile
// environment partition holds: the parse must stop, and leave flags that
// are 0 or 1 with at most one of rescue and diagnostics set.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "boot/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    BootSettings s;
    bootenv_apply(std::string_view(reinterpret_cast<const char*>(data), size), &s);
    for (const int flag : {int(s.gdb), int(s.gdbserver), int(s.shell), int(s.memchk), int(s.rescue),
                           int(s.diags), int(s.lowsecAuthorised)}) {
        if (flag != 0 && flag != 1) std::abort();
    }
    if (s.rescue && s.diags) std::abort();
    if (s.gdbserver && !s.gdb) std::abort();
    return 0;
}
