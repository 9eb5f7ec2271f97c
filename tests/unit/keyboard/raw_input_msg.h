// WM_INPUT messages as the platform hands them to the main window, built
// report by report for the decoder tests.
#pragma once

#include "keyboard/kb.h"
#include "host/sim_devices.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace rawmsg {

const size_t kReportAt = offsetof(RAWINPUT, data.hid.bRawData);

// The keyboard's event collection under either identity.
inline HANDLE keyboard_events(int identity = 1)
{
    static HANDLE first = sim::raw_device_store(RIM_TYPEHID, 0x3E71, 0x2A60, 0xFF02, 1);
    static HANDLE second = sim::raw_device_store(RIM_TYPEHID, 0x1FC9, 0x0088, 0xFF02, 1);
    return identity == 2 ? second : first;
}

struct Msg {
    HANDLE device = keyboard_events();
    std::vector<uint8_t> reports;  // every report, back to back
    DWORD size_hid = 9;
    DWORD count = 1;
    DWORD type = RIM_TYPEHID;
    long header_size = -1;  // dwSize in the header; -1: the true size
};

inline Msg with(std::vector<uint8_t> report, HANDLE device = keyboard_events())
{
    Msg m;
    m.device = device;
    m.reports = std::move(report);
    return m;
}

// The whole RAWINPUT as the system copies it.
inline std::vector<uint8_t> bytes_of(const Msg& m)
{
    std::vector<uint8_t> b(kReportAt + m.reports.size(), 0);
    auto* in = reinterpret_cast<RAWINPUT*>(b.data());
    in->header.dwType = m.type;
    in->header.dwSize = m.header_size < 0 ? (DWORD)b.size() : (DWORD)m.header_size;
    in->header.hDevice = m.device;
    in->data.hid.dwSizeHid = m.size_hid;
    in->data.hid.dwCount = m.count;
    if (!m.reports.empty())
        memcpy(b.data() + kReportAt, m.reports.data(), m.reports.size());
    return b;
}

inline void deliver(const sim::RawInputSpec& desc)
{
    kb_on_raw_input(sim::raw_input_store(desc));
}

inline void deliver(const Msg& m)
{
    sim::RawInputSpec s;
    s.bytes = bytes_of(m);
    deliver(s);
}

// Event reports (9 bytes).
inline std::vector<uint8_t> version(uint16_t bt, uint8_t r1, uint8_t r2, uint8_t sonix = 0x12)
{
    return {5, 7, (uint8_t)(bt >> 8), (uint8_t)bt, r1, r2, sonix, 0, 0};
}
inline std::vector<uint8_t> sum(uint32_t s)
{
    return {5, 5, (uint8_t)(s >> 24), (uint8_t)(s >> 16), (uint8_t)(s >> 8), (uint8_t)s, 0, 0, 0};
}
const std::vector<uint8_t> kAck = {5, 11, 0, 0, 0, 0, 0, 0, 0};

}  // namespace rawmsg
