// The command line: the tail behind the program name (command_line_tail) and
// the first argument's options (parse_command_line).
#include "fuzz_world.h"

#include "app/app.h"
#include "package/messages.h"

#include <cstring>
#include <strings.h>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The process's command line is a C string: it ends at the first NUL.
    std::string line((const char*)data, size);
    line.resize(strlen(line.c_str()));

    const char* tail = command_line_tail(line.c_str());
    FUZZ_CHECK(tail >= line.c_str() && tail <= line.c_str() + line.size());
    FUZZ_CHECK(*tail == '\0' || (unsigned char)*tail > ' ');

    g_silent = 0;
    g_lang = LANG_NONE;
    parse_command_line(tail);
    FUZZ_CHECK(g_silent == 0 || g_silent == 1);
    if (g_silent) {
        // -silent or /silent in any case, perhaps in double quotes.
        const char* arg = tail + (*tail == '"');
        FUZZ_CHECK((arg[0] == '-' || arg[0] == '/') && strncasecmp(arg + 1, "silent", 6) == 0);
    }
    // The tail as the runtime may hand it on, too: the whole line.
    parse_command_line(line.c_str());
    return 0;
}
