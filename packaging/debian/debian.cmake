# The Debian packages: quendal-bench (the program, the libftdi1 adapter and
# its wrapper, the udev rule with its AppStream metainfo, the man page) and
# quendal-bench-virtual-board.
# The architecture and the multiarch folder come from the target's compiler
# (CMAKE_LIBRARY_ARCHITECTURE), never from the machine that builds, so a
# cross build packages for its target.

if(NOT CMAKE_LIBRARY_ARCHITECTURE)
  message(STATUS "The compiler names no multiarch folder: no Debian packages")
  return()
endif()
get_debian_architecture(debian_architecture)
if(NOT debian_architecture)
  message(STATUS "No Debian architecture for ${CMAKE_LIBRARY_ARCHITECTURE} (dpkg-architecture, "
                 "from dpkg-dev): no Debian packages")
  return()
endif()

set(prefix /usr)
set(private_lib lib/${CMAKE_LIBRARY_ARCHITECTURE}/quendal-bench)
set(udev_rule_file ${PROJECT_SOURCE_DIR}/packaging/udev/70-quendal-ftdi.rules)
get_filename_component(udev_rule ${udev_rule_file} NAME)
# AppStream's record of the package, whose modaliases are the rule's devices:
# a software centre offers the package when one is plugged in.
set(metainfo invalid.quendal_bench.quendal_bench.metainfo.xml)
set(out ${CMAKE_CURRENT_BINARY_DIR})

# The wrappers that run the program on one of the private libraries.
foreach(wrapper adapter virtual)
  if(wrapper STREQUAL "adapter")
    set(LIBRARY_KIND "the libftdi1-based adapter")
    set(LIBRARY_FOLDER ${prefix}/${private_lib}/ftdi-adapter)
  else()
    set(LIBRARY_KIND "the virtual board")
    set(LIBRARY_FOLDER ${prefix}/${private_lib}/virtual-board)
  endif()
  set(BIN_FOLDER ${prefix}/bin)
  configure_file(debian/wrapper.in ${out}/quendal-bench-${wrapper} @ONLY)
  file(CREATE_LINK quendal-bench.1.gz ${out}/quendal-bench-${wrapper}.1.gz SYMBOLIC)
endforeach()

# The changelog: NEWS's releases, the newest dated at the build's one time.
set(news ${PROJECT_SOURCE_DIR}/NEWS)
set(changelog_script ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog.py)
add_custom_command(OUTPUT ${out}/changelog.gz
  COMMAND ${Python3_EXECUTABLE} ${changelog_script} --package ${CPACK_PACKAGE_NAME}
          --version ${PROJECT_VERSION} --time ${QUENDAL_SOURCE_DATE_EPOCH}
          --maintainer ${CPACK_PACKAGE_CONTACT} ${news} ${out}/changelog
  COMMAND gzip -9nf ${out}/changelog
  DEPENDS ${changelog_script} ${news}
  VERBATIM)

# The README as installed: without the links to the source tree's pages.
add_custom_command(OUTPUT ${out}/README.md
  COMMAND ${Python3_EXECUTABLE} ${render_text} --format markdown ${readme} ${out}/README.md
  DEPENDS ${render_text} ${readme}
  VERBATIM)

# The man page; its table of statuses is the README's, its list of the
# virtual board's settings the board's page's.
set(board_page ${PROJECT_SOURCE_DIR}/docs/virtual-board.md)
find_program(SCDOC scdoc)
set(man_outputs "")
if(SCDOC)
  add_custom_command(OUTPUT ${out}/quendal-bench.1.gz
    COMMAND ${Python3_EXECUTABLE} ${render_text} --readme ${readme} --settings ${board_page}
            --format scdoc
            -D PROJECT_VERSION=${PROJECT_VERSION} -D LIBRARY_FOLDER=${prefix}/${private_lib}
            -D UDEV_RULE=${udev_rule}
            ${CMAKE_CURRENT_SOURCE_DIR}/man/quendal-bench.1.scd.in ${out}/quendal-bench.1.scd
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${QUENDAL_SOURCE_DATE_EPOCH}
            sh -c "\"$0\" < quendal-bench.1.scd > quendal-bench.1" ${SCDOC}
    COMMAND gzip -9nf quendal-bench.1
    WORKING_DIRECTORY ${out}
    DEPENDS man/quendal-bench.1.scd.in ${render_text} ${readme} ${board_page}
    VERBATIM)
  set(man_outputs ${out}/quendal-bench.1.gz)
else()
  install(CODE "message(FATAL_ERROR \"scdoc is needed for the man page: scripts/install-deps.sh --package\")"
          COMPONENT program)
endif()
add_custom_target(debian_files ALL DEPENDS ${out}/changelog.gz ${out}/README.md ${man_outputs})

# The board test, on the program and the adapter of the package, with the
# Python package it comes from.
set(tools_folder share/quendal-bench/python)
set(TOOLS_FOLDER ${prefix}/${tools_folder})
set(LIBRARY_FOLDER ${prefix}/${private_lib}/ftdi-adapter)
configure_file(debian/board-test.in ${out}/quendal-bench-board-test @ONLY)
file(CREATE_LINK quendal-bench.1.gz ${out}/quendal-bench-board-test.1.gz SYMBOLIC)

# quendal-bench
install(TARGETS quendal-bench RUNTIME DESTINATION bin COMPONENT program)
install(PROGRAMS ${out}/quendal-bench-adapter DESTINATION bin COMPONENT program)
install(TARGETS ftd2xx LIBRARY DESTINATION ${private_lib}/ftdi-adapter
        PERMISSIONS ${library_permissions} COMPONENT program)
install(FILES ${udev_rule_file} DESTINATION lib/udev/rules.d COMPONENT program)
install(FILES debian/${metainfo} DESTINATION share/metainfo COMPONENT program)
install(FILES ${man_outputs} ${out}/quendal-bench-adapter.1.gz DESTINATION share/man/man1
        COMPONENT program)
install(FILES debian/copyright ${out}/changelog.gz ${out}/README.md
              ${PROJECT_SOURCE_DIR}/docs/board-report.schema.json
        DESTINATION share/doc/quendal-bench COMPONENT program)
install(PROGRAMS ${out}/quendal-bench-board-test DESTINATION bin COMPONENT program)
install(FILES ${out}/quendal-bench-board-test.1.gz DESTINATION share/man/man1 COMPONENT program)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/tools/quendal_tools DESTINATION ${tools_folder}
        COMPONENT program FILES_MATCHING PATTERN "*.py" PATTERN __pycache__ EXCLUDE)

# quendal-bench-virtual-board
install(TARGETS virtual_board LIBRARY DESTINATION ${private_lib}/virtual-board
        PERMISSIONS ${library_permissions} COMPONENT virtual_board)
install(PROGRAMS ${out}/quendal-bench-virtual DESTINATION bin COMPONENT virtual_board)
install(FILES ${out}/quendal-bench-virtual.1.gz DESTINATION share/man/man1
        COMPONENT virtual_board)
install(FILES debian/copyright ${out}/changelog.gz
        DESTINATION share/doc/quendal-bench-virtual-board COMPONENT virtual_board)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX ${prefix})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program virtual_board)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${debian_architecture})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Each package's description is its own: CPack would put a project-wide
# summary line on top of both, so none is set.
set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME quendal-bench)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS python3)
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION "bench test of the QUENDAL USB board
quendal-bench tests a QUENDAL board, a USB board with an FTDI interface
chip: it blinks two output pins slowly, then fast, then reads all eight
pins back, each phase ended by a key.
.
It reaches the board through FTDI's D2XX driver library, libftd2xx.so.
quendal-bench uses the vendor's library; quendal-bench-adapter uses the
library installed with it, built on the open-source libftdi1. A udev rule
lets the user at the seat open FTDI devices; quendal-bench-board-test
checks a bench rig through both libraries.")

set(CPACK_DEBIAN_VIRTUAL_BOARD_PACKAGE_NAME quendal-bench-virtual-board)
set(CPACK_DEBIAN_VIRTUAL_BOARD_PACKAGE_DEPENDS "quendal-bench (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_VIRTUAL_BOARD_DESCRIPTION "virtual QUENDAL board for quendal-bench
A driver library that models the QUENDAL board, so that quendal-bench runs
without hardware: quendal-bench-virtual starts the bench test on it. Its
settings inject inputs, faults and latency, and record a trace and a
waveform of the pins.")
