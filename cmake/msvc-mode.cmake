# Reading the sources and building the resources as Visual Studio would, on Linux with Debian's packages: clang-cl in
# MSVC compatibility mode against Wine's Windows headers (libwine-dev), llvm-rc for rc.exe and lld-link for link.exe.
# What follows works around those stand-in headers, not around our code.
find_program(INSTELIX_CLANG_CL NAMES clang-cl clang-cl-14 REQUIRED)
find_program(INSTELIX_LLVM_RC NAMES llvm-rc llvm-rc-14 REQUIRED)
find_program(INSTELIX_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
find_program(INSTELIX_READOBJ NAMES llvm-readobj llvm-readobj-14 REQUIRED)
find_program(INSTELIX_LLVM_NM NAMES llvm-nm llvm-nm-14 REQUIRED)
find_program(INSTELIX_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
find_path(INSTELIX_WINE_INCLUDE windows/windows.h PATHS /usr/include/wine/wine NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
          REQUIRED)
find_file(INSTELIX_MINGW_STRSAFE strsafe.h PATHS /usr/share/mingw-w64/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
          REQUIRED)

set(msvc_mode ${CMAKE_BINARY_DIR}/msvc-mode)
# Wine's strsafe.h is empty; mingw-w64's is whole and reads in MSVC mode once __LONG32 and __CRT_INLINE are given.
get_filename_component(mingw_include ${INSTELIX_MINGW_STRSAFE} DIRECTORY)
file(COPY ${mingw_include}/strsafe.h ${mingw_include}/_mingw_unicode.h DESTINATION ${msvc_mode}/include)
# Wine's i386 winnt.h defines these inline under the names of clang's built-ins, which clang refuses; renamed, they
# are ordinary functions.
set(interlocked And64 CompareExchangePointer ExchangeAdd64 ExchangePointer Increment64 Decrement64 Or64 Xor64)
list(TRANSFORM interlocked REPLACE "^(.+)$" "#define _Interlocked\\1 wine_Interlocked\\1\n")
string(JOIN "" wine_headers ${interlocked})
# Wine's winnt.h lacks the DACL protection flags that Microsoft's has had since Windows 2000.
string(APPEND wine_headers "#define PROTECTED_DACL_SECURITY_INFORMATION 0x80000000L\n"
                           "#define UNPROTECTED_DACL_SECURITY_INFORMATION 0x20000000L\n")
file(WRITE ${msvc_mode}/wine-headers.h "${wine_headers}")

# Compiler flags in MSVC mode: the Visual Studio build's options and definitions, then the header arrangement above
# (WINE_UNICODE_NATIVE makes WCHAR wchar_t, as with Microsoft's headers). The syntax-only read and the MSVC-way build
# both use them.
list(TRANSFORM INSTELIX_DEFINITIONS PREPEND /D OUTPUT_VARIABLE msvc_definitions)
set(INSTELIX_MSVC_COMPILE_FLAGS
    --target=i686-pc-windows-msvc /std:c++17 ${INSTELIX_MSVC_OPTIONS} ${msvc_definitions}
    /X -imsvc ${msvc_mode}/include -imsvc ${INSTELIX_WINE_INCLUDE}/windows -imsvc ${INSTELIX_WINE_INCLUDE}/msvcrt
    /FI${msvc_mode}/wine-headers.h /DWINE_UNICODE_NATIVE /D__LONG32=long /D__CRT_INLINE=inline)
set(INSTELIX_MSVC_MODE_FLAGS /Zs ${INSTELIX_MSVC_COMPILE_FLAGS})
# What CMake adds for the Visual Studio build of the preset (MinSizeRel, static runtime): its default C++ flags, the
# configuration's and the runtime's.
set(INSTELIX_MSVC_BUILD_FLAGS /DWIN32 /D_WINDOWS /GR /EHsc /O1 /Ob1 /DNDEBUG /MT)
