# Building a client driver of the exchange against the kernel emulation.
#
#   devididi_add_client_driver(NAME SOURCES file.c ...)
#
# makes two targets from the same sources:
#   NAME         a static library for tests that link the driver beside the exchange. Both define
#                DriverEntry, so here the driver's is renamed NAME_DriverEntry; declare it as
#                extern "C" NTSTATUS NTAPI NAME_DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING).
#   NAME_module  NAME.so, a loadable image with its DriverEntry as written, for devididi-sim's
#                load-driver command and --load-driver option, and for the test fixture's
#                LoadClient. The kernel's routines it calls are resolved from the program that loads it.
# C sources are compiled as C99, every warning an error.
#
#   devididi_add_client_test(NAME SOURCES test.cpp ... DRIVERS driver ...)
#
# a GoogleTest program written with devididi_testing.h: linked with the exchange, the fixture and
# the whole emulation (exported, so that the drivers' modules bind to it), each test registered
# with CTest. The fixture's LoadClient("driver") finds the DRIVERS' modules.
#
#   devididi_add_client_sys(NAME ALLOW-LIST SOURCES file.c ... [DEFINITIONS NAME[=VALUE] ...])
#
# a target NAME_sys that builds NAME.sys, the driver as a 32-bit Windows kernel image, in
# <build>/ntbuild-NAME and checks its imports against ALLOW-LIST (needs i686-w64-mingw32-gcc);
# DEFINITIONS are passed to the compiler as -D options.
include(GoogleTest)

function(devididi_add_client_driver name)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "devididi_add_client_driver(${name}): no SOURCES given")
  endif()
  set(warnings -Wall -Wextra -Werror -Wno-unused-parameter)

  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC DeVididi::kemu)
  target_compile_definitions(${name} PRIVATE DriverEntry=${name}_DriverEntry)
  target_compile_options(${name} PRIVATE ${warnings})
  set_target_properties(${name} PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)

  add_library(${name}_module MODULE ${ARG_SOURCES})
  target_include_directories(${name}_module PRIVATE $<TARGET_PROPERTY:DeVididi::kemu,INTERFACE_INCLUDE_DIRECTORIES>)
  # The sanitizer flavour instruments the driver's module too.
  target_compile_options(${name}_module PRIVATE ${warnings} $<TARGET_PROPERTY:DeVididi::kemu,INTERFACE_COMPILE_OPTIONS>)
  target_link_options(${name}_module PRIVATE $<TARGET_PROPERTY:DeVididi::kemu,INTERFACE_LINK_OPTIONS>)
  set_target_properties(${name}_module PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF
                        PREFIX "" OUTPUT_NAME ${name})
endfunction()

function(devididi_add_client_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DRIVERS" ${ARGN})
  if(NOT ARG_SOURCES OR NOT ARG_DRIVERS)
    message(FATAL_ERROR "devididi_add_client_test(${name}): SOURCES and DRIVERS are needed")
  endif()
  if(NOT TARGET DeVididi::testing)
    message(FATAL_ERROR "devididi_add_client_test(${name}): the kit's test helpers need GoogleTest (find_package(GTest))")
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE DeVididi::testing GTest::gtest GTest::gtest_main)
  target_compile_options(${name} PRIVATE -Wall -Wextra -Werror -Wno-unused-parameter)
  # Every routine of the emulation, exported: a driver's module may call any of them.
  get_target_property(kemu DeVididi::kemu ALIASED_TARGET)
  if(NOT kemu)
    set(kemu DeVididi::kemu)
  endif()
  target_link_options(${name} PRIVATE LINKER:--whole-archive $<TARGET_FILE:${kemu}> LINKER:--no-whole-archive)
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  list(GET ARG_DRIVERS 0 first)
  target_compile_definitions(${name} PRIVATE "DEVIDIDI_CLIENT_DIR=\"$<TARGET_FILE_DIR:${first}_module>\"")
  foreach(driver ${ARG_DRIVERS})
    add_dependencies(${name} ${driver}_module)
  endforeach()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()

function(devididi_add_client_sys name allow)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEFINITIONS" ${ARGN})
  foreach(source ${ARG_SOURCES})
    get_filename_component(path ${source} ABSOLUTE)
    list(APPEND sources ${path})
  endforeach()
  foreach(definition ${ARG_DEFINITIONS})
    list(APPEND sources -D${definition})
  endforeach()
  get_filename_component(allow ${allow} ABSOLUTE)
  add_custom_target(${name}_sys COMMAND ${DEVIDIDI_BUILD_CLIENT_SYS} ${CMAKE_CURRENT_BINARY_DIR}/ntbuild-${name}
                    ${name} ${allow} ${sources} USES_TERMINAL)
endfunction()
