# DeVididi: the kernel emulation and the stream exchange, for building and testing client drivers.
#
#   find_package(DeVididi 1.1 REQUIRED)
#
# The version is the kit's (devididi_kit_version.h): a kit satisfies a request of its own major
# version and of a minor version up to its own.
#
# gives
#   DeVididi::kemu      the emulated kernel: kernel.h (what a driver includes), streamer.h (the
#                       exchange's contract) and emu/kemu/kemu.h (its control for tests: verifier, pool,
#                       clock, DPCs, loading drivers, plug and play)
#   DeVididi::exchange  the exchange itself, linked in; its entry point is DriverEntry, declared by
#                       devididi_exchange.h
#   DeVididi::testing   the GoogleTest fixture and stream helpers of devididi_testing.h
#   DeVididi::sim       the simulator, devididi-sim, built with the same flavour
#   devididi_add_client_driver, devididi_add_client_test, devididi_add_client_sys
#                       see DeVididiClientDriver.cmake
#
# A prefix may hold several flavours of the kit, each built from its own build directory:
#   plain   the default
#   asan    AddressSanitizer and UndefinedBehaviorSanitizer (recommended for client tests)
# DEVIDIDI_KIT_FLAVOUR selects one: cmake -DDEVIDIDI_KIT_FLAVOUR=asan ...
set(DEVIDIDI_KIT_FLAVOUR "plain" CACHE STRING "Flavour of the DeVididi kit to use: plain or asan")
set(_devididi_flavour_file "${CMAKE_CURRENT_LIST_DIR}/DeVididiKit-${DEVIDIDI_KIT_FLAVOUR}.cmake")
if(NOT EXISTS "${_devididi_flavour_file}")
  file(GLOB _devididi_flavours RELATIVE "${CMAKE_CURRENT_LIST_DIR}" "${CMAKE_CURRENT_LIST_DIR}/DeVididiKit-*.cmake")
  string(REGEX REPLACE "DeVididiKit-([^;]*)\\.cmake" "\\1" _devididi_flavours "${_devididi_flavours}")
  set(DeVididi_FOUND FALSE)
  set(DeVididi_NOT_FOUND_MESSAGE
      "the kit's flavour '${DEVIDIDI_KIT_FLAVOUR}' is not installed in this prefix (installed: ${_devididi_flavours})")
  return()
endif()
include("${_devididi_flavour_file}")
include("${CMAKE_CURRENT_LIST_DIR}/DeVididiClientDriver.cmake")
set(DeVididi_FOUND TRUE)
