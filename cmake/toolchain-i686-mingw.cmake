# Cross build for 32-bit Windows with mingw-w64; programs run under Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELMOR_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
