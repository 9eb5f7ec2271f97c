// The trace in a form for people: one aligned line per record.
#pragma once

#include "host/sim_core.h"

#include <string>

namespace runner {
std::string trace_as_text(const sim::Json& record);
}
