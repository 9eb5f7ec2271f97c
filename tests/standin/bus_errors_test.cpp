// The simulated bus's answers to the device calls the tool makes, as one
// table: the call, the situation, and the error Windows gives for it.
#include "common/world_test.h"

#include "keyboard/kb.h"
#include "keyboard_instances.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using worldtest::in_world;

namespace {

struct Case {
    const char* what;
    std::function<BOOL()> call;  // FALSE: it failed and set the error
    DWORD error;
};

HANDLE open_path(int id, DWORD access, DWORD flags = FILE_FLAG_OVERLAPPED)
{
    return CreateFileA(sim::device_path(id).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

BOOL opened(HANDLE h)
{
    return h != INVALID_HANDLE_VALUE;
}

DWORD WINAPI cancel_elsewhere(LPVOID h)
{
    return CancelIo((HANDLE)h);
}

}  // namespace

TEST(Bus, EveryDeviceCallFailsWithTheErrorWindowsGives)
{
    static sim::KeyboardConfig hung;
    hung.hang_after_reports = 0;  // its firmware takes no report: writes stay pending
    in_world(&hung, [] {
        // The keyboard's command collection.
        int commands = 1;
        while (commands < 99 &&
               sim::device_path(commands).find(sim::kKeyboardInstances[0].commands) == std::string::npos)
            ++commands;
        sim::ExtraHid cmd;
        cmd.vid = KB_VID1, cmd.pid = KB_PID1, cmd.usage_page = 0xFF01, cmd.usage = 1, cmd.output_len = 57;
        sim::ExtraHid events = cmd;
        events.usage_page = 0xFF02, events.output_len = 0, events.input_len = 9;
        int no_output = sim::devices_add_hid(events);
        sim::ExtraHid odd = cmd;
        odd.refuse_open = true, odd.enum_fails = true, odd.attributes_fail = true;
        int refusing = sim::devices_add_hid(odd);
        sim::ExtraHid keys = cmd;
        keys.usage_page = 0x01, keys.usage = 0x06, keys.output_len = 2;
        int keyboard = sim::devices_add_hid(keys);
        sim::ExtraDfu boot;
        boot.descriptor_len = 17;
        int dfu = sim::devices_add_dfu(boot);
        sim::devices_set_refuse_open(refusing, false);
        HANDLE flaky = open_path(refusing, 0);
        sim::devices_set_refuse_open(refusing, true);

        HANDLE file = open_path(commands, GENERIC_READ | GENERIC_WRITE);
        HANDLE query = open_path(commands, 0);
        HANDLE events_file = open_path(no_output, GENERIC_READ | GENERIC_WRITE);
        HANDLE dfu_sync = open_path(dfu, GENERIC_READ | GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL);
        CHECK(opened(file) && opened(query) && opened(events_file) && opened(dfu_sync) && opened(flaky));
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        uint8_t report[64] = {6};
        OVERLAPPED ov = {};
        ov.hEvent = event;
        HIDD_ATTRIBUTES attr = {};
        WINUSB_INTERFACE_HANDLE usb = nullptr;
        GUID hid;
        HidD_GetHidGuid(&hid);
        HDEVINFO set = SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof(data);
        DEV_BROADCAST_HDR port = {sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
        const DWORD rw = GENERIC_READ | GENERIC_WRITE;

        std::vector<Case> table = {
            {"open: no such device",
             [] { return opened(CreateFileA("\\\\?\\hid#none", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr)); },
             ERROR_FILE_NOT_FOUND},
            {"open: another program holds it", [&] { return opened(open_path(refusing, 0)); },
             ERROR_SHARING_VIOLATION},
            {"open: a keyboard for writing", [&] { return opened(open_path(keyboard, rw)); },
             ERROR_ACCESS_DENIED},
            {"open: a WinUSB device twice", [&] { return opened(open_path(dfu, rw)); }, ERROR_ACCESS_DENIED},
            {"enumerate: failing interface",
             [&] {
                 for (DWORD i = 0;; ++i)
                     if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &data))
                         return FALSE;
             },
             ERROR_INVALID_DATA},
            {"enumerate: past the end",
             [&] { return SetupDiEnumDeviceInterfaces(set, nullptr, &hid, 99, &data); }, ERROR_NO_MORE_ITEMS},
            {"detail: size query",
             [&] { return SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, nullptr, nullptr); },
             ERROR_INSUFFICIENT_BUFFER},
            {"attributes: no result pointer", [&] { return (BOOL)HidD_GetAttributes(query, nullptr); },
             ERROR_INVALID_PARAMETER},
            {"attributes: the device fails them", [&] { return (BOOL)HidD_GetAttributes(flaky, &attr); },
             ERROR_GEN_FAILURE},
            {"attributes: a WinUSB device", [&] { return (BOOL)HidD_GetAttributes(dfu_sync, &attr); },
             ERROR_INVALID_FUNCTION},
            {"attributes: no device file", [&] { return (BOOL)HidD_GetAttributes(event, &attr); },
             ERROR_INVALID_HANDLE},
            {"write: not one whole report", [&] { return WriteFile(file, report, 64, nullptr, &ov); },
             ERROR_INVALID_USER_BUFFER},
            {"write: opened for queries", [&] { return WriteFile(query, report, 57, nullptr, &ov); },
             ERROR_ACCESS_DENIED},
            {"write: no output reports", [&] { return WriteFile(events_file, report, 9, nullptr, &ov); },
             ERROR_INVALID_FUNCTION},
            {"write: overlapped", [&] { return WriteFile(file, report, 57, nullptr, &ov); },
             ERROR_IO_PENDING},
            {"winusb: a file without FILE_FLAG_OVERLAPPED", [&] { return WinUsb_Initialize(dfu_sync, &usb); },
             ERROR_INVALID_HANDLE},
            {"winusb: a HID file", [&] { return WinUsb_Initialize(file, &usb); }, ERROR_INVALID_HANDLE},
            {"notification: a port filter",
             [&] {
                 return RegisterDeviceNotificationA((HANDLE)0x10, &port, DEVICE_NOTIFY_WINDOW_HANDLE) !=
                        nullptr;
             },
             ERROR_INVALID_DATA},
            {"raw input: an unknown handle",
             [] {
                 UINT size = 0;
                 return GetRawInputData((HRAWINPUT)0x7, RID_INPUT, nullptr, &size, sizeof(RAWINPUTHEADER)) ==
                        0;
             },
             ERROR_INVALID_HANDLE},
        };
        for (const Case& c : table) {
            SetLastError(ERROR_SUCCESS);
            if (c.call() || GetLastError() != c.error) {
                std::fprintf(stderr, "%s: error %lu, expected %lu\n", c.what, (unsigned long)GetLastError(),
                             (unsigned long)c.error);
                std::_Exit(3);
            }
        }

        // The pending write: another thread's CancelIo leaves it, the
        // issuing thread's ends it.
        DWORD moved = 0;
        HANDLE other = CreateThread(nullptr, 0, cancel_elsewhere, file, 0, nullptr);
        WaitForSingleObject(other, INFINITE);
        CHECK(!GetOverlappedResult(file, &ov, &moved, FALSE));
        CHECK_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
        CHECK(CancelIo(file));
        CHECK(!GetOverlappedResult(file, &ov, &moved, TRUE));
        CHECK_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
        CloseHandle(other);

        // A WinUSB handle on the overlapped file: the short descriptor, and
        // its death with the file.
        CloseHandle(dfu_sync);
        HANDLE dfu_file = open_path(dfu, rw);
        CHECK(WinUsb_Initialize(dfu_file, &usb));
        UCHAR desc[18];
        ULONG got = 0;
        CHECK(WinUsb_GetDescriptor(usb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, desc, sizeof(desc), &got));
        CHECK_EQ(got, 17);
        CloseHandle(dfu_file);
        CHECK(!WinUsb_GetDescriptor(usb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, desc, sizeof(desc), &got));
        CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        CHECK(WinUsb_Free(usb));
        SetupDiDestroyDeviceInfoList(set);
        for (HANDLE h : {file, query, events_file, flaky, event})
            CloseHandle(h);
    });
}
