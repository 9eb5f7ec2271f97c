#include "trace_text.h"

#include <cstdio>

namespace runner {

std::string trace_as_text(const sim::Json& record)
{
    char head[64];
    unsigned long long t = record.value("t", 0ULL);
    std::snprintf(head, sizeof head, "%7llu.%03llu s  %-14s", t / 1000, t % 1000,
                  record.value("ev", std::string("?")).c_str());
    std::string line = head;
    for (auto it = record.begin(); it != record.end(); ++it) {
        if (it.key() == "t" || it.key() == "ev")
            continue;
        line += ' ';
        line += it.key();
        line += '=';
        line += it.value().dump(-1, ' ', false, sim::Json::error_handler_t::replace);
    }
    return line;
}

}  // namespace runner
