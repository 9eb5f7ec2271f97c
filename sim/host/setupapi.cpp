// SetupAPI: device information sets of the interfaces present on the bus.
#include "host/sim_bus.h"

#include <cstddef>

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
        if (i.present && sim::same_guid(i.class_guid(), *class_guid))
            set->ifaces.push_back(i.id);
    w.info_sets.insert(set);
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
    sim::InfoSet* set = info_set(h);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || !guid) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!sim::same_guid(*guid, set->guid) || index >= set->ifaces.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    const sim::Iface* i = sim::iface_by_id(set->ifaces[index]);
    if (!i || i->enum_fails) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    data->InterfaceClassGuid = set->guid;
    data->Flags = 1;  // SPINT_ACTIVE
    data->Reserved = (ULONG_PTR)index + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                                      PSP_DEVINFO_DATA)
{
    sim::InfoSet* set = info_set(h);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set->ifaces.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const sim::Iface* i = sim::iface_by_id(set->ifaces[data->Reserved - 1]);
    std::string path = i ? i->path() : std::string();
    DWORD need = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (!detail) {
        if (size != 0) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        if (required)
            *required = need;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
        detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (size < need) {
        if (required)
            *required = need;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (required)
        *required = need;
    return TRUE;
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
