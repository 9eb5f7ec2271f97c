# Host build: the product runs on our stand-in for Win32 in a simulated world.
find_package(Threads REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(GTest REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

file(GLOB HOST_STANDIN_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/host/*.cpp)
file(GLOB MODEL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/models/*.cpp)

add_library(tessel_product STATIC ${PRODUCT_SOURCES})
target_include_directories(tessel_product PUBLIC ${PRODUCT_INCLUDES})

add_library(tessel_models STATIC ${MODEL_SOURCES})
target_include_directories(tessel_models PUBLIC ${CMAKE_SOURCE_DIR}/sim ${CMAKE_SOURCE_DIR})

add_library(tessel_host STATIC ${HOST_STANDIN_SOURCES})
target_include_directories(tessel_host PUBLIC ${PRODUCT_INCLUDES} ${CMAKE_SOURCE_DIR}/sim)
target_link_libraries(tessel_host PUBLIC nlohmann_json::nlohmann_json Threads::Threads tessel_models)

# The runner's and the tests' own reading of a packaged program.
add_library(tessel_package_facts STATIC ${CMAKE_SOURCE_DIR}/sim/package_facts.cpp)
target_include_directories(tessel_package_facts PUBLIC ${CMAKE_SOURCE_DIR}/sim)

# Product and stand-in call each other (the stand-in runs WinMain).
set(TESSEL_WORLD "$<LINK_GROUP:RESCAN,tessel_product,tessel_host,tessel_models>")

add_subdirectory(tools)
add_subdirectory(sim)

enable_testing()
add_subdirectory(tests)
