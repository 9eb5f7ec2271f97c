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
    if (!i || i->hid() || !iface) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!i->present) {
        // WinUSB's answer for a device that has left the bus.
        SetLastError(ERROR_BAD_COMMAND);
        return FALSE;
    }
    World& w = world();
    if (sim::KeyboardSlot* k = sim::keyboard_of(*i))
        k->model->dfu_host_opened();
    WINUSB_INTERFACE_HANDLE h = (WINUSB_INTERFACE_HANDLE)(w.next_winusb += 0x10);
    w.winusb[h] = sim::WinUsbIf{i->id, device};
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
    if (it == w.winusb.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // A WinUSB handle is dead once its device has left the bus, even when
    // the device comes back (it comes back as a new device).
    const sim::Iface* i = sim::iface_by_id(it->second.iface);
    if (!i) {
        SetLastError(ERROR_INVALID_HANDLE);  // its device file was closed
        return nullptr;
    }
    if (!i->present) {
        SetLastError(ERROR_BAD_COMMAND);
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
    if (type != USB_DEVICE_DESCRIPTOR_TYPE || index != 0 || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint16_t vid = i->usb_vid(), pid = i->usb_pid();
    const uint8_t desc[18] = {18,
                              1,
                              0x00,
                              0x02,
                              0,
                              0,
                              0,
                              64,
                              (uint8_t)vid,
                              (uint8_t)(vid >> 8),
                              (uint8_t)pid,
                              (uint8_t)(pid >> 8),
                              0x00,
                              0x01,
                              1,
                              2,
                              0,
                              1};
    ULONG n = std::min<ULONG>(length, (ULONG)std::max(0, std::min(18, i->descriptor_len)));
    memcpy(buffer, desc, n);
    if (transferred)
        *transferred = n;
    return TRUE;
}

namespace {
sim::ControlAnswer g_control_answer;
}

void sim::devices_set_control_answer(ControlAnswer answer)
{
    g_control_answer = std::move(answer);
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
    if (setup.Length > 0 && (!buffer || length < setup.Length)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (i->owner < 0 && g_control_answer) {
        ULONG moved = 0;
        BOOL ok = g_control_answer(setup, setup.Length ? buffer : nullptr, length, &moved);
        if (transferred)
            *transferred = ok ? moved : 0;
        if (!ok)
            SetLastError(ERROR_GEN_FAILURE);
        return ok;
    }
    sim::KeyboardSlot* k = sim::keyboard_of(*i);
    if (!k) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    models::ControlSetup s{setup.RequestType, setup.Request, setup.Value, setup.Index, setup.Length};
    uint32_t moved = 0;
    if (!k->model->control(s, setup.Length ? buffer : nullptr, &moved)) {
        if (k->model->dfu_unanswered()) {
            // No answer: the transfer holds the caller until the default
            // pipe's time-out has passed, as WinUSB does.
            auto timed_out = std::make_shared<bool>(false);
            sim::schedule_after(models::kControlPipeTimeoutMs, [timed_out] { *timed_out = true; });
            sim::block([timed_out] { return *timed_out; });
            SetLastError(ERROR_SEM_TIMEOUT);
            return FALSE;
        }
        SetLastError(ERROR_GEN_FAILURE);  // a stall fails at once
        return FALSE;
    }
    if (transferred)
        *transferred = moved;
    return TRUE;
}
