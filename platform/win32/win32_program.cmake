# How every Win32 program of ours is compiled and linked; included by the
# top-level list in the Win32 build, used by app/ (the stub) and finisher/.
set(SWEEPKIT_IMAGE_LD ${CMAKE_CURRENT_LIST_DIR}/image.ld)

# Code generation for size (about 1,300 bytes of the stub's code less):
# - no frame pointer: it serves only a debugger;
# - call arguments pushed (two bytes for a small constant) instead of stored
#   into an area reserved in every frame (eight). The toolchain reserves the
#   area by default because its stack probes need it; no frame here comes
#   near the 4 KiB guard page, so none needs a probe, and a frame over 3 KiB
#   fails the build;
# - functions called from one place stay functions: inlined into the long
#   main sequence they cost more than their calls;
# - data aligned as the ABI asks, not arrays to 32 bytes for vector loads
#   the code never makes (60 bytes of padding in the stub).
set(SWEEPKIT_WIN32_CODEGEN
  -fomit-frame-pointer -fno-inline-functions-called-once -malign-data=abi
  -mno-accumulate-outgoing-args -mno-stack-arg-probe
  -Werror=frame-larger-than=3072)

# Settings every Win32 program of ours is built with: no C++ runtime, no C
# runtime start-up code, sized for 95/98 and NT 4.0.
function(sweepkit_win32_program target subsystem entry)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:
      -Os
      # The Win32 ABI guarantees 4-byte stack alignment only; keeping 16
      # costs code in every function and buys nothing without SSE.
      -mpreferred-stack-boundary=2
      ${SWEEPKIT_WIN32_CODEGEN}
      -fno-exceptions -fno-rtti -fno-threadsafe-statics
      -fno-asynchronous-unwind-tables -fno-unwind-tables
      -fno-stack-protector
      # Lists of different record types share their handling through void
      # pointers; keep the optimiser from assuming they cannot alias.
      -fno-strict-aliasing
      # No -fdata-sections: this compiler then puts zero-initialised
      # variables in .data$name sections, which take file space, where .bss
      # takes none (the loader's 16 KiB read buffer alone would double the
      # image). Functions still get their own sections for --gc-sections.
      -ffunction-sections
      -fno-ident
      -Wall -Wextra>
  )

  # Link-time optimisation inlines and drops across the logic's files: about
  # 600 bytes less code.
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-flto>)

  target_link_options(${target} PRIVATE
    -flto -Os -mpreferred-stack-boundary=2 ${SWEEPKIT_WIN32_CODEGEN} -fno-ident
    -nostdlib -nostartfiles -s
    -Wl,-e,${entry}
    -Wl,--gc-sections
    # Windows 4.0 (95 and NT 4.0) loaders.
    -Wl,--subsystem,${subsystem}:4.0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0
    # Fixed base, no relocation section: the image is always loaded at its
    # preferred base.
    -Wl,--disable-dynamicbase -Wl,--disable-reloc-section
    -Wl,--file-alignment,512
    # Four sections instead of six: see the script.
    -Wl,-T,${SWEEPKIT_IMAGE_LD}
    # Imported data would need the runtime's pseudo-relocator, which is not
    # linked: make any such reference a link error.
    -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
    -Wl,--no-insert-timestamp
  )

  # Only the system DLLs and msvcrt.dll; libgcc contributes a member only when
  # the compiler emitted a call into it (64-bit division, stack probes).
  target_link_libraries(${target} PRIVATE
    -Wl,--start-group
    msvcrt kernel32 user32 gdi32 advapi32 shell32 ole32 gcc
    -Wl,--end-group
  )
  set_target_properties(${target} PROPERTIES LINK_DEPENDS ${SWEEPKIT_IMAGE_LD})
endfunction()

