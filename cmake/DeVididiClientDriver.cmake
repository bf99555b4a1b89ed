# Building a client driver of the exchange against the kernel emulation.
#
#   devididi_add_client_driver(NAME SOURCES file.c ...)
#
# makes two targets from the same sources:
#   NAME         a static library for tests that link the driver beside the exchange. Both define
#                DriverEntry, so here the driver's is renamed NAME_DriverEntry; declare it as
#                extern "C" NTSTATUS NTAPI NAME_DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING).
#   NAME_module  NAME.so, a loadable image with its DriverEntry as written, for devididi-sim's
#                load-driver command and --load-driver option. The kernel's routines it calls are
#                resolved from the simulator when it is loaded.
# C sources are compiled as C99, every warning an error.
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
  target_compile_options(${name}_module PRIVATE ${warnings})
  set_target_properties(${name}_module PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF
                        PREFIX "" OUTPUT_NAME ${name})
endfunction()
