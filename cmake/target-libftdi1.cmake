# libftdi1 of the target architecture when cross-building for another Linux
# architecture, as the imported target that pkg_check_modules gives a native
# build (PkgConfig::LIBFTDI1). Nothing is fetched: configuring needs no
# network.
#
# Debian's libftdi1-dev cannot be installed for two architectures at once:
# installing the target's would remove the build machine's. Its headers are
# the same on every architecture, so the build machine's are used (with those
# of libusb, which it brings). The library is the target's multiarch
# libftdi1-2 (scripts/install-deps.sh --arm), linked by its file name, as no
# development link to it is installed. dpkg keeps that package at the version
# of the build machine's, whose headers these are.

get_debian_architecture(libftdi1_architecture)
set(libftdi1_library /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libftdi1.so.2)
if(NOT EXISTS ${libftdi1_library})
  message(FATAL_ERROR "No ${libftdi1_library}: install libftdi1-2:${libftdi1_architecture} "
                      "(scripts/install-deps.sh --arm)")
endif()
foreach(header libftdi1/ftdi.h libusb-1.0/libusb.h)
  if(NOT EXISTS /usr/include/${header})
    message(FATAL_ERROR "No /usr/include/${header}: install libftdi1-dev "
                        "(scripts/install-deps.sh)")
  endif()
endforeach()

add_library(PkgConfig::LIBFTDI1 SHARED IMPORTED)
set_target_properties(PkgConfig::LIBFTDI1 PROPERTIES
  IMPORTED_LOCATION ${libftdi1_library}
  INTERFACE_INCLUDE_DIRECTORIES "/usr/include/libftdi1;/usr/include/libusb-1.0")
