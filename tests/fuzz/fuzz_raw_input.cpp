// Decoding of hostile WM_INPUT messages (kb_on_raw_input).
//
// Input: byte 0 the update state, byte 1 silent or not, byte 2 the device
// the header names (one of a few stored devices, or the header's own value),
// byte 3 how the platform misbehaves (sizes it reports, short copies,
// failing calls); the rest is the RAWINPUT as the system copies it.
#include "fuzz_world.h"

#include "app/app.h"
#include "keyboard/kb.h"
#include "package/ini.h"
#include "package/package.h"
#include "host/sim_bus.h"
#include "host/sim_devices.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

std::vector<HANDLE> g_devices;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzworld::setup();
    g_devices = {
        sim::raw_device_store(RIM_TYPEHID, 0x3E71, 0x2A60, 0xFF02, 1),
        sim::raw_device_store(RIM_TYPEHID, 0x1FC9, 0x0088, 0xFF02, 1),
        sim::raw_device_store(RIM_TYPEHID, 0x3E71, 0x2A60, 0xFF01, 1),
        sim::raw_device_store(RIM_TYPEHID, 0x046D, 0xC077, 0xFF02, 1),
        sim::raw_device_store(RIM_TYPEKEYBOARD, 0x3E71, 0x2A60, 0xFF02, 1),
        sim::raw_device_store(RIM_TYPEHID, 0x3E71, 0x2A60, 0xFF02, 1, true),
    };
    strcpy(INI_VER_NXP, "0353");
    INI_VER_BT_VALUE = 0xA23F;
    g_bt_image_sum = 0x003ABCDE;
    g_kb_nxp_version = 0x353;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    g_update_state = data[0] % (ST_REATTACHED + 2);
    g_silent = data[1] & 1;
    g_update_result = 1;
    uint8_t device = data[2];
    uint8_t how = data[3];
    data += 4;
    size -= 4;

    sim::RawInputSpec msg;
    msg.bytes.assign(data, data + size);
    if (device < 0xF0 && msg.bytes.size() >= sizeof(RAWINPUTHEADER)) {
        HANDLE h = g_devices[device % g_devices.size()];
        memcpy(msg.bytes.data() + offsetof(RAWINPUTHEADER, hDevice), &h, sizeof h);
    }
    switch (how & 7) {
    case 1: msg.reported_size = 1000 + (how >> 3) * 4; break;  // around the decoder's limit
    case 2: msg.reported_size = (UINT)(how >> 3); break;       // less than delivered
    case 3: msg.copied_size = (UINT)(how >> 3) * 40; break;    // a copy count that lies
    case 4: msg.fail_size_query = true; break;
    case 5: msg.fail_read = true; break;
    default: break;
    }
    HRAWINPUT h = sim::raw_input_store(msg);
    kb_on_raw_input(h);
    sim::world().raw_messages.erase(h);

    FUZZ_CHECK(g_update_state <= ST_REATTACHED + 1);
    return 0;
}
