// The update package appended to the program file: reading the file and
// loading the package into the tool's globals.
#pragma once

#include "platform/win32.h"

#include "package/package_parse.h"

#include <cstddef>
#include <cstdint>

extern char g_exe_path[256];
extern uint32_t g_package_start;
extern uint32_t g_ini_end;
extern uint8_t g_bt_image[BT_IMAGE_MAX];
extern uint32_t g_bt_image_len;
extern uint32_t g_bt_image_sum;
extern UsbImage g_usb_image;

// Offset just behind the raw data of the program file's last section, or 0;
// *file_size (preset to 0 by the caller) receives the file's size. When given,
// *package_end receives where the package ends: the file's end, or the start
// of an Authenticode certificate table that lies behind the package start.
uint32_t find_package_start(uint32_t* file_size, uint32_t* package_end = nullptr);
// Finds the package, reads the configuration and loads both images; true when
// the INI text's end marker was found.
bool load_package();
// Frees the USB image's memory (at WM_DESTROY).
void free_usb_image();
