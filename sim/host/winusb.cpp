// WinUSB: interface handles on an opened DFU device file, its device
// descriptor and control transfers to the boot loader (or a test's answer).
#include "host/sim_bus.h"

#include <algorithm>
#include <memory>

using sim::World;
using sim::world;

BOOL WinUsb_Initialize(HANDLE device, PWINUSB_INTERFACE_HANDLE iface)
{
    auto* f = sim::handle_as<sim::DeviceFile>(device);
    const sim::Iface* i = f ? sim::iface_by_id(f->iface) : nullptr;
    if (DWORD error = simbus::winusb_initialize_error(i, f ? f->flags : 0, iface)) {
        SetLastError(error);
        return FALSE;
    }
    World& w = world();
    if (sim::KeyboardSlot* k = sim::keyboard_of(*i))
        k->model->dfu_host_opened();
    WINUSB_INTERFACE_HANDLE h = (WINUSB_INTERFACE_HANDLE)(w.next_winusb += 0x10);
    w.winusb[h] = sim::WinUsbIf{i->id, device};
    sim::check_bus();
    *iface = h;
    return TRUE;
}

BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE iface)
{
    if (!world().winusb.erase(iface)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

namespace {
// The interface behind a WinUSB handle, present on the bus, or nullptr.
const sim::Iface* winusb_iface(WINUSB_INTERFACE_HANDLE h)
{
    World& w = world();
    auto it = w.winusb.find(h);
    const sim::Iface* i = it == w.winusb.end() ? nullptr : sim::iface_by_id(it->second.iface);
    if (DWORD error = simbus::winusb_handle_error(it != w.winusb.end(), i)) {
        SetLastError(error);
        return nullptr;
    }
    return i;
}
}  // namespace

BOOL WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE iface, UCHAR type, UCHAR index, USHORT, PUCHAR buffer,
                          ULONG length, PULONG transferred)
{
    if (transferred)
        *transferred = 0;
    const sim::Iface* i = winusb_iface(iface);
    if (!i)
        return FALSE;
    return simbus::get_descriptor(*i, i->usb_vid(), i->usb_pid(), type, index, buffer, length, transferred);
}

namespace {
sim::ControlAnswer g_control_answer;
}

void sim::devices_set_control_answer(ControlAnswer answer)
{
    g_control_answer = std::move(answer);
}

BOOL sim::answer_control(const Iface& i, const WINUSB_SETUP_PACKET& setup, PUCHAR buffer, ULONG length,
                         PULONG transferred)
{
    if (i.owner < 0 && g_control_answer) {
        ULONG moved = 0;
        BOOL ok = g_control_answer(setup, setup.Length ? buffer : nullptr, length, &moved);
        if (transferred)
            *transferred = ok ? moved : 0;
        if (!ok)
            SetLastError(ERROR_GEN_FAILURE);
        return ok;
    }
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
}

BOOL WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE iface, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                            ULONG length, PULONG transferred, LPOVERLAPPED)
{
    sim::preemption_point();
    if (transferred)
        *transferred = 0;
    const sim::Iface* i = winusb_iface(iface);
    if (!i)
        return FALSE;
    return simbus::control_transfer(sim::bus_host(), *i, sim::keyboard_of(*i), setup, buffer, length,
                                    transferred);
}
