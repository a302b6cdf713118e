# Cross build for 32-bit Windows with Debian's MinGW-w64, linked statically
# against libstdc++/libgcc and dynamically against the Universal CRT only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The compiler's stock specs file links msvcrt; the same specs file with ucrt in its place links the
# Universal CRT (api-ms-win-crt-* forwarders) instead.
set(VEK_UCRT_SPECS ${CMAKE_BINARY_DIR}/ucrt.specs)
if(NOT EXISTS ${VEK_UCRT_SPECS})
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpspecs OUTPUT_VARIABLE specs_text COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "-lmsvcrt" "-lucrt" specs_text "${specs_text}")
  file(WRITE ${VEK_UCRT_SPECS} "${specs_text}")
endif()

# __USE_MINGW_ANSI_STDIO=0 reaches C code only: libstdc++'s configuration turns
# it back on, so printf-family calls in C++ go to MinGW's own formatter, linked
# into the module. Where the runtime's text matters (the record's length),
# platform_win32.cpp calls the Universal CRT's __stdio_common_vsprintf through
# its import; tests/dll/check_pe.sh checks that on the link map.
#
# Every Windows build, tests and benchmarks too, is hardened as the release:
# stack canaries in functions with arrays or addresses of locals taken, and
# the checked string and memory functions where a size is known at compile
# time (level 2 is the most MinGW-w64 10's headers offer). Both need GCC's
# libssp, which the driver links statically when it sees the protector flag
# on the link line (CMake passes these flags there too); its guard is seeded
# from ADVAPI32's random source. tests/dll/check_pe.sh checks the result.
set(VEK_HARDENING_FLAGS "-fstack-protector-strong -D_FORTIFY_SOURCE=2")
set(CMAKE_CXX_FLAGS_INIT "-specs=${VEK_UCRT_SPECS} -D_UCRT -D__USE_MINGW_ANSI_STDIO=0 -D_WIN32_WINNT=0x0601 -DUNICODE -D_UNICODE ${VEK_HARDENING_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-specs=${VEK_UCRT_SPECS} -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-specs=${VEK_UCRT_SPECS} -static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-specs=${VEK_UCRT_SPECS} -static")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
