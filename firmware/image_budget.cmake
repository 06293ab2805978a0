# Prints the flash and RAM an image takes, and fails the build when it outgrows its board: the
# flash the board's bootloader leaves, and half the chip's RAM for globals, the rest being the
# stack's. Run by the avr build after linking each image:
#   cmake -DELF=knobbox.elf -DMCU=atmega328p -DFLASH_BYTES=30720 -DGLOBALS_BYTES=1024 -P image_budget.cmake
execute_process(COMMAND avr-size --format=avr --mcu=${MCU} ${ELF}
                OUTPUT_VARIABLE sizes RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "avr-size could not read ${ELF}")
endif()
message("${sizes}")
string(REGEX MATCH "Program: *([0-9]+)" program "${sizes}")
set(flash ${CMAKE_MATCH_1})
string(REGEX MATCH "Data: *([0-9]+)" data "${sizes}")
set(globals ${CMAKE_MATCH_1})
if(NOT flash OR NOT globals)
  message(FATAL_ERROR "No sizes of ${ELF} in what avr-size printed")
endif()
if(flash GREATER FLASH_BYTES)
  message(FATAL_ERROR "${ELF} takes ${flash} bytes of flash; its board has ${FLASH_BYTES}")
endif()
if(NOT globals LESS GLOBALS_BYTES)
  message(FATAL_ERROR "${ELF} takes ${globals} bytes of RAM for globals; the stack needs the "
                      "rest of the chip's, and the budget is under ${GLOBALS_BYTES}")
endif()
