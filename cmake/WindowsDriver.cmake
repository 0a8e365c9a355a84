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
# -Wimplicit-fallthrough, -Wshadow, -Wconversion: as the Linux build of the
#   driver (CMakeLists.txt).
# Floating point fails the link (_fltused is not defined anywhere).
set(ZELKOR_WIN_CXX_FLAGS
  --target=x86_64-pc-windows-msvc -std=c++20
  -Wall -Wextra -Werror -Wimplicit-fallthrough -Wshadow -Wconversion
  -Wglobal-constructors -Wexit-time-destructors -Wframe-larger-than=2048
  -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-delayed-template-parsing
  -fms-extensions -funwind-tables -mno-red-zone -fno-stack-protector -mno-stack-arg-probe
  -O2 -gcodeview -g
  -I${CMAKE_SOURCE_DIR})

if(NOT ZELKOR_DRIVER_SOURCES)
  message(STATUS "zelkor.sys is not built: no driver sources yet")
  return()
endif()

# The image comes out the same byte for byte from any checkout at any path
# (built the same way: the same build directory within it). The debug
# information, whose content the linker's /Brepro hashes into the image's
# time stamp and PDB identity, names no absolute path: the compiler runs in
# the build directory with every path relative to it (its command line is
# recorded too), under a fixed compilation directory.
set(_zk_win_dir ${CMAKE_BINARY_DIR}/zelkor_sys)
file(RELATIVE_PATH _zk_source_root ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
if(_zk_source_root STREQUAL "")
  set(_zk_source_root .)
endif()
set(_zk_sys_flags ${ZELKOR_WIN_CXX_FLAGS})
list(REMOVE_ITEM _zk_sys_flags -I${CMAKE_SOURCE_DIR})
list(APPEND _zk_sys_flags -I${_zk_source_root} -ffile-compilation-dir=/zelkor-build)
set(_zk_win_objects)
foreach(_zk_source ${ZELKOR_DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/platform/windows/guarded.cpp)
  file(RELATIVE_PATH _zk_rel ${CMAKE_SOURCE_DIR} ${_zk_source})
  string(REGEX REPLACE "\\.cpp$" ".obj" _zk_object ${_zk_win_dir}/${_zk_rel})
  get_filename_component(_zk_object_dir ${_zk_object} DIRECTORY)
  file(MAKE_DIRECTORY ${_zk_object_dir})
  file(RELATIVE_PATH _zk_object_rel ${CMAKE_BINARY_DIR} ${_zk_object})
  add_custom_command(
    OUTPUT ${_zk_object}
    COMMAND ${ZELKOR_WIN_CXX} ${_zk_sys_flags} -MD -MF ${_zk_object_rel}.d
            -c ${_zk_source_root}/${_zk_rel} -o ${_zk_object_rel}
    DEPENDS ${_zk_source}
    DEPFILE ${_zk_object}.d
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
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
# /Brepro puts a hash of the output where the time stamp would be, so the
# same objects linked again give the same image; by itself that holds only
# within one checkout, since the hash covers the PDB, whose content names the
# objects and the link's own command line, paths and all.
#
# The image must come out the same byte for byte from any checkout at any
# path (tests/image/check_reproducible.sh builds it again elsewhere and
# compares). So the link runs in the build directory with paths relative to
# it, and /pdbsourcepath gives the fixed root those paths hang from.
#
# /cetcompat: compatible with kernel shadow stacks (nothing here touches a
# return address); /nxcompat: no page is both written and executed.
set(ZELKOR_SYS ${CMAKE_BINARY_DIR}/zelkor.sys)
set(ZELKOR_SYS_MAP ${CMAKE_BINARY_DIR}/zelkor.map)
set(_zk_link_objects)
foreach(_zk_object ${_zk_win_objects})
  file(RELATIVE_PATH _zk_rel ${CMAKE_BINARY_DIR} ${_zk_object})
  list(APPEND _zk_link_objects ${_zk_rel})
endforeach()
file(RELATIVE_PATH _zk_rel_lib ${CMAKE_BINARY_DIR} ${_zk_win_dir}/ntoskrnl.lib)
add_custom_command(
  OUTPUT ${ZELKOR_SYS} ${ZELKOR_SYS_MAP} ${CMAKE_BINARY_DIR}/zelkor.pdb
  COMMAND ${ZELKOR_LLD_LINK}
          /nologo /driver:wdm /subsystem:native /entry:DriverEntry /nodefaultlib /machine:x64
          /dynamicbase /nxcompat /cetcompat /tsaware:no /opt:ref /opt:noicf /Brepro
          /debug /pdb:zelkor.pdb /pdbaltpath:zelkor.pdb /pdbsourcepath:/zelkor-build
          /map:zelkor.map /out:zelkor.sys
          ${_zk_link_objects} ${_zk_rel_lib}
  COMMAND zelkor-pe-checksum ${ZELKOR_SYS}
  DEPENDS ${_zk_win_objects} ${_zk_win_dir}/ntoskrnl.lib zelkor-pe-checksum
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Linking zelkor.sys"
  VERBATIM)
add_custom_target(zelkor_sys ALL DEPENDS ${ZELKOR_SYS})
