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

# tessel-pack.exe: the package tool for authors on Windows.
add_subdirectory(tools)

# Programs for the tests under Wine (tests/wine/test_*.py).
add_subdirectory(tests/wine)

# What the installers run around the tool (tessel-deploy.exe and its MSI DLL).
add_subdirectory(installer)

# tessel-updater-sim.exe: the same tool with the simulated keyboard and boot
# loader (sim/models) behind its device calls, for whole updates under Wine.
# Its build forces sim/windows/redirect.h into the product's sources; the
# release program above has none of it.
find_path(TESSEL_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
if(TESSEL_JSON_INCLUDE)
    # Only nlohmann/ of the host's headers, never its C library's.
    set(TESSEL_JSON_DIR ${CMAKE_BINARY_DIR}/third-party)
    file(MAKE_DIRECTORY ${TESSEL_JSON_DIR})
    file(CREATE_LINK ${TESSEL_JSON_INCLUDE}/nlohmann ${TESSEL_JSON_DIR}/nlohmann SYMBOLIC)
    file(GLOB SIM_WINDOWS_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/windows/*.cpp
        ${CMAKE_SOURCE_DIR}/sim/bus/*.cpp)
    file(GLOB SIM_MODEL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/models/*.cpp)
    # The product's sources once more, each with the redirection of its
    # device calls forced in ahead of the gateway.
    add_library(tessel-sim-product OBJECT ${PRODUCT_SOURCES})
    target_include_directories(tessel-sim-product PRIVATE ${PRODUCT_INCLUDES})
    target_compile_options(tessel-sim-product PRIVATE -include ${CMAKE_SOURCE_DIR}/sim/windows/redirect.h)
    add_executable(tessel-updater-sim-bare WIN32 $<TARGET_OBJECTS:tessel-sim-product> ${SIM_WINDOWS_SOURCES}
        ${SIM_MODEL_SOURCES}
        ${CMAKE_SOURCE_DIR}/sim/package_facts.cpp ${CMAKE_SOURCE_DIR}/sim/scenario/scenario.cpp
        ${CMAKE_SOURCE_DIR}/sim/scenario/engine.cpp
        ${TESSEL_RESOURCE_OBJECT})
    target_include_directories(tessel-updater-sim-bare PRIVATE ${PRODUCT_INCLUDES} ${CMAKE_SOURCE_DIR}/sim
        ${TESSEL_JSON_DIR})
    target_link_options(tessel-updater-sim-bare PRIVATE -static -static-libgcc -static-libstdc++ -mwindows -s)
    target_link_libraries(tessel-updater-sim-bare PRIVATE comctl32 winmm gdi32 user32 shell32 advapi32)
    if(TESSEL_PACK)
        add_custom_command(
            OUTPUT ${CMAKE_BINARY_DIR}/tessel-updater-sim.exe
            COMMAND ${TESSEL_PACK} build --exe $<TARGET_FILE:tessel-updater-sim-bare>
                    --ini ${CMAKE_SOURCE_DIR}/sample-package/package.ini
                    --bt ${SAMPLE_INPUTS}/bt.bin --usb ${SAMPLE_INPUTS}/usb.bin
                    -o ${CMAKE_BINARY_DIR}/tessel-updater-sim.exe
            DEPENDS tessel-updater-sim-bare ${TESSEL_PACK} ${CMAKE_SOURCE_DIR}/sample-package/package.ini
                    ${SAMPLE_INPUTS}/bt.bin ${SAMPLE_INPUTS}/usb.bin
            COMMENT "Appending the sample package to tessel-updater-sim")
        add_custom_target(sim_packaged ALL DEPENDS ${CMAKE_BINARY_DIR}/tessel-updater-sim.exe)
    endif()
endif()
