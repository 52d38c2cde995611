# Makes libftdi1's pkg-config module of the target architecture visible when
# cross-building for another Linux architecture.
#
# Debian's libftdi1-dev cannot be installed for two architectures at once:
# installing the target's would remove the build machine's. So its package
# is fetched with apt-get and unpacked into the build tree, while the
# target's libftdi1 and libusb themselves are the multiarch packages
# installed on the machine (scripts/install-deps.sh --arm).

set(libftdi1_root ${CMAKE_BINARY_DIR}/libftdi1-dev)
set(libftdi1_libdir ${libftdi1_root}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})

if(NOT EXISTS ${libftdi1_libdir}/pkgconfig/libftdi1.pc)
  get_debian_architecture(architecture)
  if(NOT architecture)
    message(FATAL_ERROR "No Debian architecture for ${CMAKE_LIBRARY_ARCHITECTURE} "
                        "(dpkg-architecture, from dpkg-dev)")
  endif()
  set(download_dir ${CMAKE_BINARY_DIR}/libftdi1-dev-download)
  file(REMOVE_RECURSE ${download_dir} ${libftdi1_root})
  file(MAKE_DIRECTORY ${download_dir})
  execute_process(COMMAND apt-get download libftdi1-dev:${architecture}
                  WORKING_DIRECTORY ${download_dir}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  file(GLOB package ${download_dir}/libftdi1-dev_*.deb)
  if(NOT result EQUAL 0 OR NOT package)
    message(FATAL_ERROR "apt-get download libftdi1-dev:${architecture} failed:\n${output}")
  endif()
  execute_process(COMMAND dpkg-deb -x ${package} ${libftdi1_root} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-deb could not unpack ${package}")
  endif()
  # The package's libftdi1.so points at a libftdi1.so.2 that lives outside
  # the unpacked tree; without it the linker would take the static library.
  file(REMOVE ${libftdi1_libdir}/libftdi1.so ${libftdi1_libdir}/libftdi1.a)
  file(CREATE_LINK /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libftdi1.so.2
       ${libftdi1_libdir}/libftdi1.so SYMBOLIC)
  # pkg-config puts the unpacked tree before every path, libusb's headers
  # (an architecture-independent folder of the installed libusb) included.
  file(CREATE_LINK /usr/include/libusb-1.0 ${libftdi1_root}/usr/include/libusb-1.0 SYMBOLIC)
  file(REMOVE_RECURSE ${download_dir})
endif()

set(ENV{PKG_CONFIG_SYSROOT_DIR} ${libftdi1_root})
set(ENV{PKG_CONFIG_LIBDIR}
    "${libftdi1_libdir}/pkgconfig:/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig")
