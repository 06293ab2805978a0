# The box's firmware with Debian's gcc-avr and avr-libc, for every AVR chip the box runs on:
# one toolchain, and each image names its chip itself (firmware/CMakeLists.txt gives each
# target its -mmcu). Only firmware/ is built with it (the avr preset).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR avr)

set(CMAKE_C_COMPILER avr-gcc)
set(CMAKE_CXX_COMPILER avr-g++)
set(CMAKE_ASM_COMPILER avr-gcc)
# No host libraries to link a test program against: check the compilers with a library.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# The boards' clock: 16 MHz on the Uno, Nano, Mega, Leonardo, Micro and the 5 V Pro Micro. A
# 3.3 V Pro Micro runs at 8 MHz: build its image in a folder of its own with
#   cmake --preset avr -B build/avr-8mhz -DAVR_F_CPU=8000000L && cmake --build build/avr-8mhz
set(AVR_F_CPU 16000000L CACHE STRING "the board's clock in Hz, as F_CPU (16000000L or 8000000L)")
set(AVR_FLAGS "-DF_CPU=${AVR_F_CPU} -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_INIT "${AVR_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${AVR_FLAGS} -fno-exceptions -fno-threadsafe-statics -fno-rtti")
set(CMAKE_ASM_FLAGS_INIT "${AVR_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")
