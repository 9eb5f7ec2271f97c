// The world's configuration, set by whoever runs the tool.
#include "host/sim_core.h"

namespace sim {

namespace {
WorldConfig& the_config()
{
    static WorldConfig c;
    return c;
}
}  // namespace

void configure(const WorldConfig& config)
{
    the_config() = config;
}
const WorldConfig& config()
{
    return the_config();
}

}  // namespace sim

LANGID GetUserDefaultLangID(void)
{
    return sim::config().langid;
}
LCID GetUserDefaultLCID(void)
{
    return sim::config().lcid;
}
