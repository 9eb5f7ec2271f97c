// The list of present devices of the DFU interface class, with their USB
// device descriptors, and opening one of them through WinUSB.
#include "dfu/usb_list.h"

#include "package/ini.h"

#include <cstdlib>
#include <cstring>

bool usb_list_init(UsbDeviceList* list)
{
    list->next = nullptr;
    list->prev = nullptr;
    memset(list->name, 0, sizeof(list->name));
    strcpy(list->name, "bus0");
    list->entries = (UsbDeviceEntry*)calloc(USB_LIST_MAX, sizeof(UsbDeviceEntry));
    return list->entries != nullptr;
}

int usb_list_enumerate(UsbDeviceList* list)
{
    HDEVINFO set =
        SetupDiGetClassDevsA(&INI_DFU_GUID, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE || !set)
        return 0;

    int count = 0;
    for (DWORD index = 0; count < USB_LIST_MAX; ++index) {
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &INI_DFU_GUID, index, &data))
            break;

        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            continue;  // no path to fetch
        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)malloc(required);
        if (!detail) {
            SetupDiDestroyDeviceInfoList(set);
            return 0;
        }
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)) {
            free(detail);
            continue;
        }

        UsbDeviceEntry* entry = &list->entries[count];
        memset(entry, 0, sizeof(*entry));
        // The path field always stays terminated: a longer path is cut.
        strncpy(entry->path, detail->DevicePath, USB_PATH_SIZE - 1);
        entry->path[USB_PATH_SIZE - 1] = '\0';
        entry->owner = list;
        if (count > 0) {
            entry->prev = &list->entries[count - 1];
            list->entries[count - 1].next = entry;
        }

        bool added = false;
        WinUsbDevice* dev = usb_device_open(entry);
        if (dev) {
            ULONG got = 0;
            added = WinUsb_GetDescriptor(dev->iface, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, entry->descriptor,
                                         sizeof(entry->descriptor), &got) &&
                    got == sizeof(entry->descriptor);
            usb_device_close(dev);
        }
        if (added) {
            ++count;
        } else {
            // Not listed: unchain the slot so that the next device takes it.
            if (entry->prev)
                entry->prev->next = nullptr;
            memset(entry, 0, sizeof(*entry));
        }
        free(detail);
    }
    SetupDiDestroyDeviceInfoList(set);
    return count;
}

WinUsbDevice* usb_list_find(UsbDeviceList* list, uint16_t vid, uint16_t pid)
{
    for (UsbDeviceEntry* e = list->entries; e; e = e->next) {
        uint16_t v = (uint16_t)(e->descriptor[8] | (e->descriptor[9] << 8));
        uint16_t p = (uint16_t)(e->descriptor[10] | (e->descriptor[11] << 8));
        if (v == vid && p == pid)
            return usb_device_open(e);
    }
    return nullptr;
}

WinUsbDevice* usb_device_open(const UsbDeviceEntry* entry)
{
    HANDLE file = CreateFileA(entry->path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (!file || file == INVALID_HANDLE_VALUE)
        return nullptr;
    WINUSB_INTERFACE_HANDLE iface = nullptr;
    if (!WinUsb_Initialize(file, &iface)) {
        CloseHandle(file);
        return nullptr;
    }
    WinUsbDevice* dev = (WinUsbDevice*)malloc(sizeof(WinUsbDevice));
    if (!dev) {
        WinUsb_Free(iface);
        CloseHandle(file);
        return nullptr;
    }
    dev->file = file;
    dev->iface = iface;
    return dev;
}

void usb_device_close(WinUsbDevice* dev)
{
    if (!dev)
        return;
    WinUsb_Free(dev->iface);
    CloseHandle(dev->file);
    free(dev);
}

void usb_list_free(UsbDeviceList* list)
{
    if (!list)
        return;
    free(list->entries);
    free(list);
}

WinUsbDevice* usb_list_find_bootloader(UsbDeviceList* list)
{
    WinUsbDevice* dev = usb_list_find(list, INI_DFU_VID1, INI_DFU_PID1);
    if (!dev)
        dev = usb_list_find(list, INI_DFU_VID2, INI_DFU_PID2);
    return dev;
}

bool usb_bootloader_present()
{
    UsbDeviceList* list = (UsbDeviceList*)malloc(sizeof(UsbDeviceList));
    if (!list)
        return false;
    if (!usb_list_init(list)) {
        free(list);
        return false;
    }
    bool present = false;
    if (usb_list_enumerate(list) > 0) {
        WinUsbDevice* dev = usb_list_find_bootloader(list);
        if (dev) {
            present = true;
            usb_device_close(dev);
        }
    }
    usb_list_free(list);
    return present;
}
