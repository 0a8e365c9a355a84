# Cross-builds the Windows driver image zelkor.sys from the driver sources:
# clang compiles them for x86_64-pc-windows-msvc, llvm-dlltool makes the
# ntoskrnl.exe import library from platform/windows/ntoskrnl.def, lld-link
# links a native WDM driver and zelkor-pe-checksum stamps the header checksum
# the kernel's loader verifies.
#
# The objects are built with add_custom_command rather than as a CMake target
# so that none of the Linux build's settings (flags, sanitizers, definitions)
# reach them.

set(_zk_llvm_hints /usr/lib/llvm-14/bin /usr/lib/llvm-15/bin /usr/lib/llvm-16/bin)
find_program(ZELKOR_WIN_CXX NAMES clang++ clang++-14 clang++-15 clang++-16 HINTS ${_zk_llvm_hints})
find_program(ZELKOR_LLD_LINK NAMES lld-link lld-link-14 lld-link-15 lld-link-16 HINTS ${_zk_llvm_hints})
find_program(ZELKOR_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 llvm-dlltool-15 llvm-dlltool-16
  HINTS ${_zk_llvm_hints})
find_program(ZELKOR_LLVM_READOBJ NAMES llvm-readobj llvm-readobj-14 llvm-readobj-15 llvm-readobj-16
  HINTS ${_zk_llvm_hints})
find_program(ZELKOR_LLVM_OBJDUMP NAMES llvm-objdump llvm-objdump-14 llvm-objdump-15 llvm-objdump-16
  HINTS ${_zk_llvm_hints})

foreach(_zk_tool ZELKOR_WIN_CXX ZELKOR_LLD_LINK ZELKOR_LLVM_DLLTOOL)
  if(NOT ${_zk_tool})
    message(WARNING "zelkor.sys is not built: ${_zk_tool} not found "
      "(run scripts/install-deps.sh, or configure with -DZELKOR_BUILD_SYS=OFF)")
    return()
  endif()
endforeach()

# -ffreestanding: no hosted library; memcpy, memset and memmove calls the
#   compiler emits resolve to ntoskrnl's exports like the driver's own.
# -funwind-tables: clang drops the x64 unwind data of every function under
#   -fno-exceptions, and the kernel cannot unwind an exception through a frame
#   without it (the guarded calls depend on that).
# -mno-stack-arg-probe with -Wframe-larger-than: frames stay well under a page,
#   so no __chkstk probe is ever needed (ntoskrnl.def does not list one); a
#   large frame fails the build instead of eating into the 24 KiB kernel stack.
# -fno-stack-protector: no security cookie to initialise before DriverEntry.
# -Wglobal-constructors, -Wexit-time-destructors: nothing runs them in a driver.
# Floating point fails the link (_fltused is not defined anywhere).
set(ZELKOR_WIN_CXX_FLAGS
  --target=x86_64-pc-windows-msvc -std=c++20
  -Wall -Wextra -Werror -Wglobal-constructors -Wexit-time-destructors -Wframe-larger-than=2048
  -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-delayed-template-parsing
  -fms-extensions -funwind-tables -mno-red-zone -fno-stack-protector -mno-stack-arg-probe
  -O2 -gcodeview -g
  -I${CMAKE_SOURCE_DIR})

if(NOT ZELKOR_DRIVER_SOURCES)
  message(STATUS "zelkor.sys is not built: no driver sources yet")
  return()
endif()

set(_zk_win_dir ${CMAKE_BINARY_DIR}/zelkor_sys)
set(_zk_win_objects)
foreach(_zk_source ${ZELKOR_DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/platform/windows/guarded.cpp)
  file(RELATIVE_PATH _zk_rel ${CMAKE_SOURCE_DIR} ${_zk_source})
  string(REGEX REPLACE "\\.cpp$" ".obj" _zk_object ${_zk_win_dir}/${_zk_rel})
  get_filename_component(_zk_object_dir ${_zk_object} DIRECTORY)
  file(MAKE_DIRECTORY ${_zk_object_dir})
  add_custom_command(
    OUTPUT ${_zk_object}
    COMMAND ${ZELKOR_WIN_CXX} ${ZELKOR_WIN_CXX_FLAGS} -MD -MF ${_zk_object}.d
            -c ${_zk_source} -o ${_zk_object}
    DEPENDS ${_zk_source}
    DEPFILE ${_zk_object}.d
    COMMENT "Compiling ${_zk_rel} for zelkor.sys"
    VERBATIM)
  list(APPEND _zk_win_objects ${_zk_object})
endforeach()

set(ZELKOR_NTOSKRNL_DEF ${CMAKE_SOURCE_DIR}/platform/windows/ntoskrnl.def)
add_custom_command(
  OUTPUT ${_zk_win_dir}/ntoskrnl.lib
  COMMAND ${ZELKOR_LLVM_DLLTOOL} -m i386:x86-64 -d ${ZELKOR_NTOSKRNL_DEF} -l ${_zk_win_dir}/ntoskrnl.lib
  DEPENDS ${ZELKOR_NTOSKRNL_DEF}
  COMMENT "Generating the ntoskrnl.exe import library"
  VERBATIM)

# The checksum is computed on the build machine.
add_executable(zelkor-pe-checksum ${CMAKE_SOURCE_DIR}/platform/windows/pe_checksum.cpp)
target_compile_options(zelkor-pe-checksum PRIVATE ${ZELKOR_WARNINGS})

# /driver:wdm marks the image as a WDM driver (without the mark the I/O
# manager treats it as a legacy, non-PnP driver). The image stays relocatable
# (no /fixed): the kernel loads drivers wherever it likes. /opt:noicf keeps
# distinct functions at distinct addresses, as the simulated build has them.
# /Brepro makes the image reproducible.
set(ZELKOR_SYS ${CMAKE_BINARY_DIR}/zelkor.sys)
set(ZELKOR_SYS_MAP ${CMAKE_BINARY_DIR}/zelkor.map)
add_custom_command(
  OUTPUT ${ZELKOR_SYS} ${ZELKOR_SYS_MAP} ${CMAKE_BINARY_DIR}/zelkor.pdb
  COMMAND ${ZELKOR_LLD_LINK}
          /nologo /driver:wdm /subsystem:native /entry:DriverEntry /nodefaultlib /machine:x64
          /dynamicbase /nxcompat /tsaware:no /opt:ref /opt:noicf /Brepro
          /debug /pdb:${CMAKE_BINARY_DIR}/zelkor.pdb /pdbaltpath:zelkor.pdb
          /map:${ZELKOR_SYS_MAP} /out:${ZELKOR_SYS}
          ${_zk_win_objects} ${_zk_win_dir}/ntoskrnl.lib
  COMMAND zelkor-pe-checksum ${ZELKOR_SYS}
  DEPENDS ${_zk_win_objects} ${_zk_win_dir}/ntoskrnl.lib zelkor-pe-checksum
  COMMENT "Linking zelkor.sys"
  VERBATIM)
add_custom_target(zelkor_sys ALL DEPENDS ${ZELKOR_SYS})
