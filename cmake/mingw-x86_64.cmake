# Cross toolchain for the 64-bit build of the same sources. It exists because
# 32-bit code cannot run on machines whose kernel has IA-32 emulation switched
# off; there the tests and the run command use this build under 64-bit Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
