// The whole program file as the tool reads its package: section walk, the
// certificate table of a signed program, the end-marker scan, the
// configuration keys, both images and the DFU suffix. Each input is written
// as the program file (from memory) and loaded as WM_CREATE loads it.
#include "fuzz_world.h"

#include "package/ini.h"
#include "package/package.h"

#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzworld::setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzworld::use_program(data, size);

    memset(g_exe_path, 0, sizeof g_exe_path);
    g_package_start = 0;
    g_ini_end = 0;
    g_bt_image_len = 0;
    g_bt_image_sum = 0;

    // The byte-level helpers on the head of the file, as tessel-pack uses them.
    uint32_t cert_at = 0, cert_size = 0;
    if (pe_certificate_table(data, size, &cert_at, &cert_size))
        FUZZ_CHECK(cert_at != 0 && cert_size != 0);
    uint32_t walked = pe_package_start(data, size);
    uint32_t end = package_end_of(data, size, walked, (uint32_t)size);
    FUZZ_CHECK(end <= (uint32_t)size);

    uint32_t file_size = 0, package_end = 0;
    uint32_t start = find_package_start(&file_size, &package_end);
    FUZZ_CHECK(file_size == (uint32_t)size);
    FUZZ_CHECK(package_end <= file_size);

    bool loaded = load_package();
    if (loaded) {
        FUZZ_CHECK(g_package_start == start);
        FUZZ_CHECK(g_ini_end <= file_size);
        FUZZ_CHECK(g_bt_image_len <= BT_IMAGE_MAX && g_bt_image_len % 64 == 0);
        FUZZ_CHECK(g_bt_image_sum == bt_image_sum(g_bt_image, g_bt_image_len));
        FUZZ_CHECK(g_usb_image.length >= 0 && (uint32_t)g_usb_image.length <= file_size);
        FUZZ_CHECK(g_usb_image.suffix_length <= (uint32_t)g_usb_image.length);
        // Every byte the download would send is touched.
        uint32_t sum = 0;
        for (int32_t i = 0; i < g_usb_image.length - (int32_t)g_usb_image.suffix_length; i++)
            sum += g_usb_image.data[i];
        (void)sum;
    }
    FUZZ_CHECK(strnlen(INI_VER_NXP, sizeof INI_VER_NXP) < sizeof INI_VER_NXP);
    FUZZ_CHECK(strnlen(INI_VER_BT, sizeof INI_VER_BT) < sizeof INI_VER_BT);
    FUZZ_CHECK(strnlen(INI_DATE_CODE, sizeof INI_DATE_CODE) < sizeof INI_DATE_CODE);
    FUZZ_CHECK(strnlen(STRING_DATE_CODE, sizeof STRING_DATE_CODE) < sizeof STRING_DATE_CODE);
    free_usb_image();
    return 0;
}
