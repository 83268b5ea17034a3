# The Windows build: the port driver's sources (QV_DRIVER_SOURCES) and the
# bus driver's (QV_BUS_SOURCES) cross-compiled with mingw-w64 into
# windows/<arch>/qvsimdm.sys and windows/<arch>/qvusbbus.sys, for i686 and
# x64, as part of the default build. Plain custom commands rather than a second CMake
# project: kernel flags must not leak into the sim build, and this stays fast.
#
# Per architecture and driver (qvsimdm, qvusbbus) the output directory holds:
#   <driver>.sys             the driver (symbols stripped)
#   <driver>.inf             its installation INF (driver/qvsimdm.inf, bus/qvusbbus.inf)
#   <driver>.unstripped.sys  the same link with its symbol table
#   <driver>.map             the linker map of that link
#   obj/<driver>/*.o         the objects, checked for global-constructor sections
#
# The tests WindowsDriverPe.<arch> and WindowsBusDriverPe.<arch> check each
# image (tools/check_sys_pe.sh).
# Without the toolchain they report themselves skipped (exit code 77).

option(QV_WINDOWS_BUILD "Cross-build the driver .sys with mingw-w64 when the toolchain is found" ON)

set(QV_DRIVER_INF ${CMAKE_SOURCE_DIR}/driver/qvsimdm.inf)
set(QV_BUS_INF ${CMAKE_SOURCE_DIR}/bus/qvusbbus.inf)
set(QV_WINDOWS_CHECK_SCRIPT ${CMAKE_SOURCE_DIR}/tools/check_sys_pe.sh)
# The Makefile generator does not rebuild custom commands whose command line
# changed: depending on this file rebuilds everything when a flag does.
set(_qv_win_list_file ${CMAKE_CURRENT_LIST_FILE})
set(QV_WINDOWS_SKIP_CODE 77)

# Sources as a driver directory lists them (names relative to it).
function(_qv_absolute_sources out dir)
  set(result)
  foreach(_src IN LISTS ARGN)
    if(IS_ABSOLUTE "${_src}")
      list(APPEND result "${_src}")
    else()
      list(APPEND result "${CMAKE_SOURCE_DIR}/${dir}/${_src}")
    endif()
  endforeach()
  if(NOT result)
    message(FATAL_ERROR "WindowsDriver.cmake: no sources for ${dir}/; include it after add_subdirectory(${dir})")
  endif()
  set(${out} ${result} PARENT_SCOPE)
endfunction()
_qv_absolute_sources(_qv_win_sources driver ${QV_DRIVER_SOURCES})
_qv_absolute_sources(_qv_win_bus_sources bus ${QV_BUS_SOURCES})

# The sim build's language level, so both builds accept the same code.
set(_qv_win_std ${CMAKE_CXX_STANDARD})
if(NOT _qv_win_std)
  set(_qv_win_std 20)
endif()

# Flags shared by both targets. -isystem for the DDK: warnings inside its
# macros must not become errors. -mno-stack-arg-probe: there is no CRT to
# provide ___chkstk_ms; -Wframe-larger-than catches big frames instead.
set(QV_WINDOWS_CXX_FLAGS
  -std=c++${_qv_win_std} -O2
  -Wall -Wextra -Werror -Wno-unused-parameter -Wframe-larger-than=2048
  -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-stack-protector -fno-strict-aliasing -mno-stack-arg-probe
)
# No -lgcc and no CRT: a helper the kernel lacks (64-bit division on i686,
# emulated TLS, C++ runtime) fails the link instead of slipping in.
set(QV_WINDOWS_LINK_FLAGS
  -nostdlib
  -Wl,--subsystem,native
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
  -Wl,--dynamicbase -Wl,--nxcompat
  -Wl,--gc-sections
  # An entry spelling ld cannot resolve only warns and leaves entry 0.
  -Wl,--fatal-warnings
)
set(QV_WINDOWS_LIBS -lntoskrnl -lhal -lusbd)

# i686: no FPU/SSE state in kernel code, frame pointers for stack walks, and
# no .eh_frame (nothing unwinds it). The stdcall entry is _DriverEntry@8.
# Windows XP SP2 at least: removal flushes DPCs (KeFlushQueuedDpcs).
set(QV_WINDOWS_i686_TRIPLE i686-w64-mingw32)
set(QV_WINDOWS_i686_DEBIAN i686)
set(QV_WINDOWS_i686_CXX_FLAGS -D_WIN32_WINNT=0x0501 -DNTDDI_VERSION=0x05010200 -mgeneral-regs-only -fno-omit-frame-pointer
                              -fno-asynchronous-unwind-tables)
set(QV_WINDOWS_i686_LINK_FLAGS -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000
                               -Wl,--major-os-version,5 -Wl,--minor-os-version,1
                               -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,1)
# x64 keeps its unwind tables (.pdata/.xdata); -mgeneral-regs-only would
# break the DDK's intrinsics.
set(QV_WINDOWS_x64_TRIPLE x86_64-w64-mingw32)
set(QV_WINDOWS_x64_DEBIAN x86-64)
set(QV_WINDOWS_x64_CXX_FLAGS -D_WIN32_WINNT=0x0502)
set(QV_WINDOWS_x64_LINK_FLAGS -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000
                              -Wl,--major-os-version,5 -Wl,--minor-os-version,2
                              -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,2)

# Looks a program up on PATH only (not CMake's system paths), so hiding the
# toolchain from PATH is enough to test the skip; a cached path that has
# since disappeared is looked up again.
function(_qv_find_tool var name)
  if(${var} AND NOT EXISTS "${${var}}")
    unset(${var} CACHE)
  endif()
  find_program(${var} NAMES ${name} NO_CMAKE_SYSTEM_PATH NO_CMAKE_INSTALL_PREFIX ${ARGN})
endfunction()

# One driver image for one architecture: `name` is the file's stem, `dir`
# its source directory, `inf` its INF, `test_name` the check's name.
function(_qv_add_windows_driver arch name dir inf test_name)
  set(triple ${QV_WINDOWS_${arch}_TRIPLE})
  set(sources ${ARGN})
  set(skip_reason "")

  if(NOT QV_WINDOWS_BUILD)
    set(skip_reason "the Windows build is turned off (QV_WINDOWS_BUILD=OFF)")
  else()
    _qv_find_tool(QV_MINGW_${arch}_CXX ${triple}-g++)
    if(NOT QV_MINGW_${arch}_CXX)
      set(skip_reason "${triple}-g++ not found on PATH (Debian package g++-mingw-w64-${QV_WINDOWS_${arch}_DEBIAN}-win32)")
    else()
      get_filename_component(bindir "${QV_MINGW_${arch}_CXX}" DIRECTORY)
      _qv_find_tool(QV_MINGW_${arch}_OBJDUMP ${triple}-objdump HINTS "${bindir}")
      _qv_find_tool(QV_MINGW_${arch}_STRIP ${triple}-strip HINTS "${bindir}")
      _qv_find_tool(QV_MINGW_${arch}_NM ${triple}-nm HINTS "${bindir}")
      if(QV_MINGW_${arch}_DDK AND NOT EXISTS "${QV_MINGW_${arch}_DDK}/ntddk.h")
        unset(QV_MINGW_${arch}_DDK CACHE)
      endif()
      find_path(QV_MINGW_${arch}_DDK ntddk.h
        HINTS "${bindir}/../${triple}/include/ddk" "/usr/${triple}/include/ddk"
        NO_DEFAULT_PATH)
      if(NOT QV_MINGW_${arch}_OBJDUMP OR NOT QV_MINGW_${arch}_STRIP OR NOT QV_MINGW_${arch}_NM)
        set(skip_reason "${triple} binutils (objdump, strip, nm) not found next to ${QV_MINGW_${arch}_CXX}")
      elseif(NOT QV_MINGW_${arch}_DDK)
        set(skip_reason "${triple} DDK headers (ddk/ntddk.h) not found (Debian package mingw-w64-${QV_WINDOWS_${arch}_DEBIAN}-dev)")
      endif()
    endif()
  endif()

  if(skip_reason)
    message(STATUS "Windows driver (${arch}): not built, ${skip_reason}")
    add_test(NAME ${test_name} COMMAND bash ${QV_WINDOWS_CHECK_SCRIPT} --skip "${skip_reason}")
    set_tests_properties(${test_name} PROPERTIES SKIP_RETURN_CODE ${QV_WINDOWS_SKIP_CODE} LABELS windows)
    return()
  endif()

  set(cxx ${QV_MINGW_${arch}_CXX})
  set(outdir ${CMAKE_BINARY_DIR}/windows/${arch})
  set(objdir ${outdir}/obj/${name})
  set(cxx_flags ${QV_WINDOWS_CXX_FLAGS} ${QV_WINDOWS_${arch}_CXX_FLAGS}
                -isystem ${QV_MINGW_${arch}_DDK} -I${CMAKE_SOURCE_DIR}/${dir} -I${CMAKE_SOURCE_DIR}/common)

  set(objects)
  foreach(src IN LISTS sources)
    get_filename_component(stem "${src}" NAME_WE)
    set(obj ${objdir}/${stem}.o)
    add_custom_command(
      OUTPUT ${obj}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir}
      COMMAND ${cxx} ${cxx_flags} -MD -MF ${obj}.d -c ${src} -o ${obj}
      DEPENDS ${src} ${_qv_win_list_file}
      DEPFILE ${obj}.d
      COMMENT "Compiling ${stem}.cpp for Windows ${arch}"
      VERBATIM)
    list(APPEND objects ${obj})
  endforeach()

  # One link, then strip: the map and the unstripped copy describe exactly
  # the image that ships (strip keeps the layout and the PE checksum).
  set(full ${outdir}/${name}.unstripped.sys)
  set(map ${outdir}/${name}.map)
  set(sys ${outdir}/${name}.sys)
  add_custom_command(
    OUTPUT ${sys} ${full} ${map}
    COMMAND ${cxx} ${QV_WINDOWS_LINK_FLAGS} ${QV_WINDOWS_${arch}_LINK_FLAGS} -Wl,-Map,${map}
            -o ${full} ${objects} ${QV_WINDOWS_LIBS}
    COMMAND ${QV_MINGW_${arch}_STRIP} --strip-all -o ${sys} ${full}
    DEPENDS ${objects} ${_qv_win_list_file}
    COMMENT "Linking Windows ${arch} driver ${sys}"
    VERBATIM)
  # The INF goes next to the .sys it installs, so the directory is a package.
  set(inf_copy ${outdir}/${name}.inf)
  add_custom_command(
    OUTPUT ${inf_copy}
    COMMAND ${CMAKE_COMMAND} -E copy ${inf} ${inf_copy}
    DEPENDS ${inf}
    COMMENT "Copying ${name}.inf next to the Windows ${arch} driver"
    VERBATIM)
  add_custom_target(${name}_sys_${arch} ALL DEPENDS ${sys} ${inf_copy})

  add_test(NAME ${test_name}
    COMMAND bash ${QV_WINDOWS_CHECK_SCRIPT}
            --arch ${arch}
            --objdump ${QV_MINGW_${arch}_OBJDUMP}
            --nm ${QV_MINGW_${arch}_NM}
            --sys ${sys}
            --unstripped ${full}
            --map ${map}
            ${objects})
  set_tests_properties(${test_name} PROPERTIES SKIP_RETURN_CODE ${QV_WINDOWS_SKIP_CODE} LABELS windows)
  message(STATUS "Windows driver (${arch}): ${sys} with ${cxx}")
endfunction()

foreach(_arch i686 x64)
  _qv_add_windows_driver(${_arch} qvsimdm driver ${QV_DRIVER_INF} WindowsDriverPe.${_arch} ${_qv_win_sources})
  _qv_add_windows_driver(${_arch} qvusbbus bus ${QV_BUS_INF} WindowsBusDriverPe.${_arch} ${_qv_win_bus_sources})
endforeach()
