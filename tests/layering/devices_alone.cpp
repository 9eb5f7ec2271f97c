// The stand-in and the device models link and run without any product
// object: the boot loader enumerates with the identity and interface class
// it was given, and the stand-in runs whatever entry point it is handed.
#include "host/sim_core.h"
#include "host/sim_devices.h"

#include <cstdio>
#include <cstring>

namespace {

sim::PackageFacts g_facts;
int g_found = 0;

int entry(HINSTANCE, HINSTANCE, LPSTR args, int)
{
    if (std::strcmp(args, "-x") != 0 || std::strcmp(GetCommandLineA(), "\"C:\\T\\t.exe\" -x") != 0)
        return 3;
    Sleep(2000);  // the boot loader enumerates
    GUID guid = {g_facts.dfu_guid.data1, g_facts.dfu_guid.data2, g_facts.dfu_guid.data3, {}};
    std::memcpy(guid.Data4, g_facts.dfu_guid.data4, 8);
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
        char buf[512];
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buf);
        detail->cbSize = sizeof(*detail);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof(buf), nullptr, nullptr) &&
            std::strstr(detail->DevicePath, "vid_abcd&pid_1234"))
            ++g_found;
    }
    SetupDiDestroyDeviceInfoList(set);
    return g_found == 1 ? 0 : 4;
}

}  // namespace

int main()
{
    sim::WorldConfig c;
    c.program_path = "C:\\T\\t.exe";
    c.until_ms = 10000;
    sim::configure(c);
    g_facts.dfu_guid.data1 = 0x0badf00d;
    g_facts.vid2 = 0xABCD;
    g_facts.pid2 = 0x1234;
    sim::KeyboardConfig k;
    k.bootloader_mode = true;
    k.bootloader.identity = 2;
    sim::devices_setup(&k, g_facts);
    int code = sim::run_entry("-x", entry);
    std::printf("entry returned %d\n", code);
    std::fflush(stdout);
    std::_Exit(code);
}
