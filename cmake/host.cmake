# Host build: the product runs on our stand-in for Win32 in a simulated world.
find_package(Threads REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(GTest REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

file(GLOB HOST_STANDIN_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/host/*.cpp)
# The device bus (sim/bus) answers the device calls for the stand-in, as it
# does for tessel-updater-sim.exe under Wine.
file(GLOB BUS_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/bus/*.cpp)
file(GLOB MODEL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/models/*.cpp)

# The layers depend one way: product -> stand-in (its gateway to Windows) ->
# device bus -> device models. Nothing below the product knows it: the runner and the tests
# hand the stand-in the tool's entry point, and the devices what they must
# know of the package (tessel_package_facts, read from the packaged program).
add_library(tessel_models STATIC ${MODEL_SOURCES})
target_include_directories(tessel_models PUBLIC ${CMAKE_SOURCE_DIR}/sim ${CMAKE_SOURCE_DIR})

add_library(tessel_host STATIC ${HOST_STANDIN_SOURCES} ${BUS_SOURCES})
target_include_directories(tessel_host PUBLIC ${PRODUCT_INCLUDES} ${CMAKE_SOURCE_DIR}/sim ${CMAKE_SOURCE_DIR}/sim/host)
target_link_libraries(tessel_host PUBLIC nlohmann_json::nlohmann_json Threads::Threads tessel_models)

add_library(tessel_product STATIC ${PRODUCT_SOURCES})
target_include_directories(tessel_product PUBLIC ${PRODUCT_INCLUDES})
target_link_libraries(tessel_product PUBLIC tessel_host)

add_library(tessel_package_facts STATIC ${CMAKE_SOURCE_DIR}/sim/package_facts.cpp)
target_include_directories(tessel_package_facts PUBLIC ${CMAKE_SOURCE_DIR}/sim)

add_subdirectory(tools)
add_subdirectory(sim)

enable_testing()
add_subdirectory(tests)
