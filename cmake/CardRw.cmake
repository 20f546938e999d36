# Build helpers shared by every directory.

# CARDRW_SANITIZE: "address" (ASan + UBSan) or "thread" (TSan), host build only.
set(CARDRW_SANITIZE "" CACHE STRING "Sanitizers for the host build: address or thread")
if(NOT WIN32)
    add_compile_options(-Wall -Wextra -Wno-unused-parameter -g)
    if(CARDRW_SANITIZE STREQUAL "address")
        add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
        add_link_options(-fsanitize=address,undefined)
    elseif(CARDRW_SANITIZE STREQUAL "thread")
        add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
        add_link_options(-fsanitize=thread)
    endif()
endif()

set(CARDRW_DIST_DIR ${CMAKE_SOURCE_DIR}/dist CACHE PATH "Where the Windows deliverables go")

# Kernel code: C++17 without exceptions, RTTI or the standard library's runtime.
set(CARDRW_KERNEL_FLAGS -fno-exceptions -fno-rtti)

# cardrw_add_driver(NAME SOURCES ...)
#   windows: NAME.sys, a native-subsystem PE32+ importing from the kernel, into dist/.
#   host:    NAME_lib, a static library for unit tests of the driver's internals, and NAME,
#            a module the simulated kernel loads with dlopen and enters through DriverEntry.
function(cardrw_add_driver name)
    set(sources ${ARGN})
    if(WIN32)
        add_executable(${name} ${sources})
        set_target_properties(${name} PROPERTIES SUFFIX ".sys"
            RUNTIME_OUTPUT_DIRECTORY ${CARDRW_DIST_DIR})
        target_compile_options(${name} PRIVATE ${CARDRW_KERNEL_FLAGS} -ffreestanding
            -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
            -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
            -Wall -Wno-unknown-pragmas)
        target_include_directories(${name} PRIVATE /usr/share/mingw-w64/include/ddk)
        target_link_options(${name} PRIVATE -nostdlib -nostartfiles -shared
            -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000
            -Wl,--dynamicbase -Wl,--nxcompat -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000)
        target_link_libraries(${name} PRIVATE ntoskrnl hal usbd gcc)
    else()
        add_library(${name}_lib STATIC ${sources})
        target_compile_options(${name}_lib PRIVATE ${CARDRW_KERNEL_FLAGS})
        target_link_libraries(${name}_lib PUBLIC sim_kernel)
        add_library(${name} MODULE ${sources})
        set_target_properties(${name} PROPERTIES PREFIX "")
        target_compile_options(${name} PRIVATE ${CARDRW_KERNEL_FLAGS} -fvisibility=hidden)
        target_link_libraries(${name} PRIVATE sim_kernel)
    endif()
endfunction()
