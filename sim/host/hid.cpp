// The HID class library: attributes and capabilities of a HID interface
// opened as a device file (the answers and errors: sim/bus/device_rules.h).
#include "host/sim_bus.h"

using sim::world;

namespace {
// The interface behind an open device file, or nullptr.
const sim::Iface* file_iface(HANDLE h)
{
    auto* f = sim::handle_as<sim::DeviceFile>(h);
    return f ? sim::iface_by_id(f->iface) : nullptr;
}
}  // namespace

void HidD_GetHidGuid(LPGUID guid)
{
    if (guid)
        *guid = sim::kHidGuid;
}

BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes)
{
    sim::preemption_point();
    return simbus::get_attributes(file_iface(device), attributes);
}

BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data)
{
    const sim::Iface* i = file_iface(device);
    if (!simbus::preparsed_ok(i, data))
        return FALSE;
    auto* p = new sim::Preparsed;
    p->caps = simbus::caps_of(*i);
    world().preparsed.insert(p);
    sim::check_bus();
    *data = (PHIDP_PREPARSED_DATA)p;
    return TRUE;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data)
{
    auto* p = (sim::Preparsed*)data;
    if (!world().preparsed.erase(p))
        return FALSE;
    delete p;
    return TRUE;
}

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps)
{
    auto* p = (sim::Preparsed*)data;
    if (!world().preparsed.count(p) || !caps)
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *caps = p->caps;
    return HIDP_STATUS_SUCCESS;
}
