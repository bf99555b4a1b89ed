/*
 * The client-driver kit's version (C and C++). find_package(DeVididi 1.x) asks for it: a kit
 * satisfies a request of the same major version and a minor version no newer than its own. Within
 * a major version the kit's interfaces only grow; an include path that moves keeps a forwarding
 * header for the rest of that major version.
 *   1.0  the emulation's headers in emu/ (emu/kemu.h, emu/kemu_core.h, ...)
 *   1.1  emu/kemu/ and emu/ddk/; the 1.0 paths forward, with a deprecation note
 *   1.2  the stream helpers record the notifications they receive and send their own; a helper
 *        the test holds itself is closed by the fixture's TearDown
 */
#ifndef DEVIDIDI_KIT_VERSION_H
#define DEVIDIDI_KIT_VERSION_H

#define DEVIDIDI_KIT_VERSION_MAJOR 1
#define DEVIDIDI_KIT_VERSION_MINOR 2
#define DEVIDIDI_KIT_VERSION_PATCH 0
#define DEVIDIDI_KIT_VERSION "1.2.0"

#endif
