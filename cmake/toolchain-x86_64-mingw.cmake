# Cross build for 64-bit Windows with mingw-w64. The win32 tree runs it as its x86-64 sub-build
# (the driver and the few programs that test it); programs run under Wine in a 64-bit prefix.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELMOR_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
