// SetupAPI: device information sets of the interfaces present on the bus.
#include "host/sim_bus.h"

using sim::World;
using sim::world;

HDEVINFO SetupDiGetClassDevsA(const GUID* class_guid, LPCSTR, HWND, DWORD flags)
{
    sim::ensure_init();
    if (!class_guid || !(flags & DIGCF_DEVICEINTERFACE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    World& w = world();
    auto* set = new sim::InfoSet;
    set->guid = *class_guid;
    for (const sim::Iface& i : w.ifaces)
        if ((i.present || !(flags & DIGCF_PRESENT)) && sim::same_guid(i.class_guid(), *class_guid))
            set->ifaces.push_back(i.id);
    w.info_sets.insert(set);
    sim::check_bus();
    return (HDEVINFO)set;
}

namespace {
sim::InfoSet* info_set(HDEVINFO h)
{
    auto* set = (sim::InfoSet*)h;
    return world().info_sets.count(set) ? set : nullptr;
}
}  // namespace

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data)
{
    sim::preemption_point();
    auto iface = [](int id) -> const simbus::Interface* { return sim::iface_by_id(id); };
    return simbus::enum_interface(info_set(h), iface, guid, index, data);
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                                      PSP_DEVINFO_DATA)
{
    auto path = [](int id) {
        const sim::Iface* i = sim::iface_by_id(id);
        return i ? i->path() : std::string();
    };
    return simbus::interface_detail(info_set(h), path, data, detail, size, required);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO h)
{
    sim::InfoSet* set = info_set(h);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    world().info_sets.erase(set);
    delete set;
    return TRUE;
}
