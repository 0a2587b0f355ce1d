# libsodium, the cryptography of the daemon and of libwlink (message codes over the
# UDP link), always linked statically: the daemon needs only libc at run time, and
# libwlink nothing but libc either. The module's cross build takes Debian's mipsel
# libsodium-dev unpacked by tools/mipsel-libs (WLINK_SODIUM_ROOT, .cache/mipsel);
# a native build the machine's libsodium-dev.
if(CMAKE_CROSSCOMPILING)
  set(WLINK_SODIUM_ROOT "${PROJECT_SOURCE_DIR}/.cache/mipsel" CACHE PATH "unpacked libsodium-dev of the target")
  set(sodium_hints PATHS ${WLINK_SODIUM_ROOT}/usr NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  set(sodium_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE} lib/mipsel-linux-gnu lib)
else()
  set(sodium_hints "")
  set(sodium_libdir lib lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
find_path(SODIUM_INCLUDE_DIR sodium.h ${sodium_hints} PATH_SUFFIXES include)
find_library(SODIUM_STATIC_LIBRARY NAMES libsodium.a ${sodium_hints} PATH_SUFFIXES ${sodium_libdir})
if(NOT SODIUM_INCLUDE_DIR OR NOT SODIUM_STATIC_LIBRARY)
  message(FATAL_ERROR "libsodium (static) not found: install libsodium-dev (tools/deps.sh), or for the module's "
                      "build run tools/mipsel-libs (WLINK_SODIUM_ROOT=${WLINK_SODIUM_ROOT})")
endif()
add_library(wlink_sodium STATIC IMPORTED GLOBAL)
set_target_properties(wlink_sodium PROPERTIES IMPORTED_LOCATION ${SODIUM_STATIC_LIBRARY}
                      INTERFACE_INCLUDE_DIRECTORIES ${SODIUM_INCLUDE_DIR})
