# Windows build: the real program, cross-compiled with MinGW-w64.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(TESSEL_PACK "" CACHE FILEPATH "host-built tessel-pack used to append the sample package")
set(SAMPLE_INPUTS "" CACHE PATH "folder with the generated sample images (bt.bin, usb.bin)")

set(WINDOWS_LIBS comctl32 setupapi hid winusb winmm gdi32 user32 shell32 advapi32)

add_subdirectory(resources)

add_executable(tessel-updater-bare WIN32 ${PRODUCT_SOURCES} ${TESSEL_RESOURCE_OBJECT})
target_include_directories(tessel-updater-bare PRIVATE ${PRODUCT_INCLUDES})
# -s: no symbol table behind the last section, where the package goes.
target_link_options(tessel-updater-bare PRIVATE -static -static-libgcc -static-libstdc++ -mwindows -s)
target_link_libraries(tessel-updater-bare PRIVATE ${WINDOWS_LIBS})

if(TESSEL_PACK)
    add_custom_command(
        OUTPUT ${CMAKE_BINARY_DIR}/tessel-updater.exe
        COMMAND ${TESSEL_PACK} build --exe $<TARGET_FILE:tessel-updater-bare>
                --ini ${CMAKE_SOURCE_DIR}/sample-package/package.ini
                --bt ${SAMPLE_INPUTS}/bt.bin --usb ${SAMPLE_INPUTS}/usb.bin
                -o ${CMAKE_BINARY_DIR}/tessel-updater.exe
        DEPENDS tessel-updater-bare ${TESSEL_PACK} ${CMAKE_SOURCE_DIR}/sample-package/package.ini
                ${SAMPLE_INPUTS}/bt.bin ${SAMPLE_INPUTS}/usb.bin
        COMMENT "Appending the sample package")
    add_custom_target(packaged ALL DEPENDS ${CMAKE_BINARY_DIR}/tessel-updater.exe)
endif()

# Programs for the tests under Wine (tests/wine/test_*.py).
add_subdirectory(tests/wine)
