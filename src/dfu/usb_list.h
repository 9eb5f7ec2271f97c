// Devices of the DFU interface class found through WinUSB.
#pragma once

#include "platform/win32.h"

#include <cstdint>

#define USB_LIST_MAX 10
#define USB_PATH_SIZE 261

struct WinUsbDevice {
    HANDLE file;
    WINUSB_INTERFACE_HANDLE iface;
};

struct UsbDeviceList;

struct UsbDeviceEntry {
    UsbDeviceEntry* next;
    UsbDeviceEntry* prev;
    char path[USB_PATH_SIZE];
    UsbDeviceList* owner;
    uint8_t descriptor[18];
};

struct UsbDeviceList {
    UsbDeviceEntry* next;
    UsbDeviceEntry* prev;
    char name[USB_PATH_SIZE];
    UsbDeviceEntry* entries;  // table of USB_LIST_MAX
};

bool usb_list_init(UsbDeviceList* list);
int usb_list_enumerate(UsbDeviceList* list);
WinUsbDevice* usb_list_find(UsbDeviceList* list, uint16_t vid, uint16_t pid);
WinUsbDevice* usb_device_open(const UsbDeviceEntry* entry);
void usb_device_close(WinUsbDevice* dev);
void usb_list_free(UsbDeviceList* list);
// The boot loader of the package's first identity or, when it is not listed,
// of the second one; none when neither is (the first pair wins when both are).
WinUsbDevice* usb_list_find_bootloader(UsbDeviceList* list);
// True when the boot loader of either package identity is present (the probe's check).
bool usb_bootloader_present();
