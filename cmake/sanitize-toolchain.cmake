# Compilers of the sanitizer build: Debian's clang 14 when it is there (it
# also builds the fuzz targets), else the system's gcc.
find_program(TESSEL_CLANG NAMES clang-14 clang)
find_program(TESSEL_CLANGXX NAMES clang++-14 clang++)
if(TESSEL_CLANG AND TESSEL_CLANGXX)
    set(CMAKE_C_COMPILER ${TESSEL_CLANG})
    set(CMAKE_CXX_COMPILER ${TESSEL_CLANGXX})
else()
    set(CMAKE_C_COMPILER gcc)
    set(CMAKE_CXX_COMPILER g++)
endif()
