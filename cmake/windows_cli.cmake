# sweepkit.exe: the host program built by mingw-w64 for Windows 7 and later,
# linked statically (no DLL beyond the system's). `plan` runs the logic on
# the simulated Windows as on Linux, so platform.h takes the simulated
# declarations here too (SWEEPKIT_SIMULATED).
add_compile_definitions(SWEEPKIT_SIMULATED _WIN32_WINNT=0x0601 WINVER=0x0601)

# The two header-only libraries come from the build machine's /usr/include,
# of which nothing else may reach the cross compiler: each is linked into a
# folder of its own.
set(SWEEPKIT_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${SWEEPKIT_HOST_HEADERS})
foreach(dir nlohmann CLI)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing (nlohmann-json3-dev, libcli11-dev)")
  endif()
  file(CREATE_LINK /usr/include/${dir} ${SWEEPKIT_HOST_HEADERS}/${dir} SYMBOLIC)
endforeach()
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${SWEEPKIT_HOST_HEADERS}
  INTERFACE_INCLUDE_DIRECTORIES ${SWEEPKIT_HOST_HEADERS})
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${SWEEPKIT_HOST_HEADERS}
  INTERFACE_INCLUDE_DIRECTORIES ${SWEEPKIT_HOST_HEADERS})

add_subdirectory(platform/host)
# the same aliasing rule as the stub's build
add_library(sweepkit_logic STATIC ${SWEEPKIT_LOGIC_SOURCES})
target_include_directories(sweepkit_logic PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(sweepkit_logic PUBLIC sweepkit_sim)
target_compile_options(sweepkit_logic PRIVATE -Wall -Wextra -fno-strict-aliasing)
add_subdirectory(format)
# plan finishes a template with the finisher's own code
add_library(sweepkit_finish STATIC ${SWEEPKIT_FINISH_SOURCES})
target_link_libraries(sweepkit_finish PUBLIC sweepkit_logic sweepkit_format)
target_compile_options(sweepkit_finish PRIVATE -Wall -Wextra -fno-strict-aliasing)
add_subdirectory(cli)

# The C and C++ runtimes inside; Windows 7 is the oldest system asked for.
target_link_options(sweepkit PRIVATE -static -static-libgcc -static-libstdc++ -s
  -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,1
  -Wl,--major-os-version,6 -Wl,--minor-os-version,1 -Wl,--no-insert-timestamp)
target_link_libraries(sweepkit_cli PUBLIC shell32)
