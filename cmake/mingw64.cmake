# The same programs for 64-bit Windows (Debian: g++-mingw-w64-x86-64-win32). Used by the
# Wine end-to-end tests on hosts whose kernel cannot run 32-bit code, where 32-bit Wine
# cannot start.
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
