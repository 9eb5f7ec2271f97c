// The HID class library: attributes and capabilities of a HID interface
// opened as a device file.
#include "host/sim_bus.h"

using sim::world;

namespace {
// The HID interface behind an open device file, or nullptr (last error set).
const sim::Iface* hid_iface(HANDLE h)
{
    auto* f = sim::handle_as<sim::DeviceFile>(h);
    const sim::Iface* i = f ? sim::iface_by_id(f->iface) : nullptr;
    if (!i || !i->hid()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!i->present) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    return i;
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
    const sim::Iface* i = hid_iface(device);
    if (!i || !attributes)
        return FALSE;
    if (i->attributes_fail) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    attributes->VendorID = i->vid;
    attributes->ProductID = i->pid;
    attributes->VersionNumber = i->version;
    return TRUE;
}

BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data)
{
    const sim::Iface* i = hid_iface(device);
    if (!i || !data)
        return FALSE;
    auto* p = new sim::Preparsed;
    memset(&p->caps, 0, sizeof(p->caps));
    p->caps.Usage = i->usage;
    p->caps.UsagePage = i->usage_page;
    p->caps.InputReportByteLength = i->in_len;
    p->caps.OutputReportByteLength = i->out_len;
    p->caps.NumberLinkCollectionNodes = 1;
    world().preparsed.insert(p);
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
