// Host stand-in for Win32: device notifications, Raw Input, SetupAPI, the HID class library, WinUSB and the entry point.
// Included through win32_host.h only.
#pragma once

#include "host/win32_host_user.h"

// ---------------------------------------------------------------- device notifications
// Implemented in sim/host/notifications.cpp (registration and delivery)
#define DBT_DEVICEARRIVAL 0x8000
#define DBT_DEVICEQUERYREMOVE 0x8001
#define DBT_DEVICEQUERYREMOVEFAILED 0x8002
#define DBT_DEVICEREMOVEPENDING 0x8003
#define DBT_DEVICEREMOVECOMPLETE 0x8004
#define DBT_DEVTYP_OEM 0x00000000
#define DBT_DEVTYP_VOLUME 0x00000002
#define DBT_DEVTYP_PORT 0x00000003
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005
#define DBT_DEVTYP_HANDLE 0x00000006
#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000

struct DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
};
typedef DEV_BROADCAST_HDR* PDEV_BROADCAST_HDR;
struct DEV_BROADCAST_DEVICEINTERFACE_A {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    char dbcc_name[1];
};
struct DEV_BROADCAST_HANDLE {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
    HANDLE dbch_handle;
    HDEVNOTIFY dbch_hdevnotify;
    GUID dbch_eventguid;
    LONG dbch_nameoffset;
    BYTE dbch_data[1];
};
typedef DEV_BROADCAST_HANDLE* PDEV_BROADCAST_HANDLE;
HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags);
BOOL UnregisterDeviceNotification(HDEVNOTIFY handle);

// ---------------------------------------------------------------- raw input
// Implemented in sim/host/rawinput.cpp
#define RIM_TYPEMOUSE 0
#define RIM_TYPEKEYBOARD 1
#define RIM_TYPEHID 2
#define RID_INPUT 0x10000003
#define RID_HEADER 0x10000005
#define RIDI_DEVICEINFO 0x2000000b
#define RIDEV_REMOVE 0x00000001
#define RIDEV_INPUTSINK 0x00000100
// The wParam of WM_INPUT: input while the window was in the foreground or,
// with RIDEV_INPUTSINK, in the background.
#define RIM_INPUT 0
#define RIM_INPUTSINK 1
#define GET_RAWINPUT_CODE_WPARAM(wp) ((wp)&0xff)

struct RAWINPUTDEVICE {
    USHORT usUsagePage;
    USHORT usUsage;
    DWORD dwFlags;
    HWND hwndTarget;
};
typedef RAWINPUTDEVICE* PRAWINPUTDEVICE;
typedef const RAWINPUTDEVICE* PCRAWINPUTDEVICE;
struct RAWINPUTHEADER {
    DWORD dwType;
    DWORD dwSize;
    HANDLE hDevice;
    WPARAM wParam;
};
struct RAWMOUSE {
    USHORT usFlags;
    union {
        ULONG ulButtons;
        struct {
            USHORT usButtonFlags;
            USHORT usButtonData;
        };
    };
    ULONG ulRawButtons;
    LONG lLastX;
    LONG lLastY;
    ULONG ulExtraInformation;
};
struct RAWKEYBOARD {
    USHORT MakeCode;
    USHORT Flags;
    USHORT Reserved;
    USHORT VKey;
    UINT Message;
    ULONG ExtraInformation;
};
struct RAWHID {
    DWORD dwSizeHid;
    DWORD dwCount;
    BYTE bRawData[1];
};
struct RAWINPUT {
    RAWINPUTHEADER header;
    union {
        RAWMOUSE mouse;
        RAWKEYBOARD keyboard;
        RAWHID hid;
    } data;
};
typedef RAWINPUT* PRAWINPUT;
struct RID_DEVICE_INFO_MOUSE {
    DWORD dwId;
    DWORD dwNumberOfButtons;
    DWORD dwSampleRate;
    BOOL fHasHorizontalWheel;
};
struct RID_DEVICE_INFO_KEYBOARD {
    DWORD dwType;
    DWORD dwSubType;
    DWORD dwKeyboardMode;
    DWORD dwNumberOfFunctionKeys;
    DWORD dwNumberOfIndicators;
    DWORD dwNumberOfKeysTotal;
};
struct RID_DEVICE_INFO_HID {
    DWORD dwVendorId;
    DWORD dwProductId;
    DWORD dwVersionNumber;
    USHORT usUsagePage;
    USHORT usUsage;
};
struct RID_DEVICE_INFO {
    DWORD cbSize;
    DWORD dwType;
    union {
        RID_DEVICE_INFO_MOUSE mouse;
        RID_DEVICE_INFO_KEYBOARD keyboard;
        RID_DEVICE_INFO_HID hid;
    };
};
BOOL RegisterRawInputDevices(PCRAWINPUTDEVICE devices, UINT count, UINT size);
UINT GetRawInputData(HRAWINPUT raw, UINT command, LPVOID data, UINT* size, UINT header_size);
UINT GetRawInputDeviceInfoA(HANDLE device, UINT command, LPVOID data, UINT* size);

// ---------------------------------------------------------------- SetupAPI
// Implemented in sim/host/setupapi.cpp
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010
struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
typedef SP_DEVINFO_DATA* PSP_DEVINFO_DATA;
struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
typedef SP_DEVICE_INTERFACE_DATA* PSP_DEVICE_INTERFACE_DATA;
struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
};
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_A* PSP_DEVICE_INTERFACE_DETAIL_DATA_A;
HDEVINFO SetupDiGetClassDevsA(const GUID* class_guid, LPCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* guid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                                      PSP_DEVINFO_DATA info);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// ---------------------------------------------------------------- HID class library
// Implemented in sim/host/hid.cpp
struct HIDD_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};
typedef HIDD_ATTRIBUTES* PHIDD_ATTRIBUTES;
typedef USHORT USAGE;
struct HIDP_CAPS {
    USAGE Usage;
    USAGE UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
};
typedef HIDP_CAPS* PHIDP_CAPS;
typedef struct _HIDP_PREPARSED_DATA* PHIDP_PREPARSED_DATA;
#define HIDP_STATUS_SUCCESS ((NTSTATUS)0x00110000)
#define HIDP_STATUS_INVALID_PREPARSED_DATA ((NTSTATUS)0xC0110001)
void HidD_GetHidGuid(LPGUID guid);
BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes);
BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data);
BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data);
NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps);

// ---------------------------------------------------------------- WinUSB
// Implemented in sim/host/winusb.cpp
#pragma pack(push, 1)
struct WINUSB_SETUP_PACKET {
    UCHAR RequestType;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Length;
};
#pragma pack(pop)
#define USB_DEVICE_DESCRIPTOR_TYPE 0x01
BOOL WinUsb_Initialize(HANDLE device, PWINUSB_INTERFACE_HANDLE iface);
BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE iface);
BOOL WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE iface, UCHAR type, UCHAR index, USHORT lang, PUCHAR buffer,
                          ULONG length, PULONG transferred);
BOOL WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE iface, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                            ULONG length, PULONG transferred, LPOVERLAPPED ov);

// ---------------------------------------------------------------- entry point
// GetCommandLineA is implemented in sim/host/entry.cpp; WinMain is the
// tool's own, handed to sim::run_entry by the runner and the tests.
int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR cmdline, int show);
// The process's command line: the program path in double quotes, then the
// arguments the run was started with.
LPSTR GetCommandLineA();
