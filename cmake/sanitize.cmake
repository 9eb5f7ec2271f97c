# The sanitizer build (preset host-asan): AddressSanitizer and
# UndefinedBehaviorSanitizer over everything, product, stand-in, tools and
# tests. Built with clang, the same build carries the fuzz targets
# (tests/fuzz): every library is instrumented for libFuzzer's coverage.
option(TESSEL_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
set(TESSEL_FUZZ OFF)
if(TESSEL_SANITIZE)
    # -O1: quick enough to compile and to run, with exact reports.
    add_compile_options(-O1 -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        set(TESSEL_FUZZ ON)
        add_compile_options(-fsanitize=fuzzer-no-link)
    endif()
endif()
