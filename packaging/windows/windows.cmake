# The Windows zip: the executable with its version resource and manifest,
# README.txt, LICENSE, and the virtual board in a folder of its own, never
# beside the executable, where it would be loaded instead of the driver.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(bits 64)
else()
  set(bits 32)
endif()
set(out ${CMAKE_CURRENT_BINARY_DIR})

set(MANIFEST ${CMAKE_CURRENT_SOURCE_DIR}/windows/quendal-bench.manifest)
configure_file(windows/quendal-bench.rc.in ${out}/quendal-bench.rc @ONLY)
target_sources(quendal-bench PRIVATE ${out}/quendal-bench.rc)
set_property(SOURCE ${out}/quendal-bench.rc APPEND PROPERTY OBJECT_DEPENDS ${MANIFEST})

if(bits EQUAL 64)
  set(dll_folder "System32")
else()
  set(dll_folder "SysWOW64 on 64-bit Windows, System32 on 32-bit Windows")
endif()
add_custom_command(OUTPUT ${out}/README.txt
  COMMAND ${Python3_EXECUTABLE} ${render_text} --readme ${readme} --format text
          -D PROJECT_VERSION=${PROJECT_VERSION} -D BITS=${bits} -D DLL_FOLDER=${dll_folder}
          ${CMAKE_CURRENT_SOURCE_DIR}/windows/README.txt.in ${out}/README.txt
  DEPENDS windows/README.txt.in ${render_text} ${readme}
  VERBATIM)
add_custom_target(windows_readme ALL DEPENDS ${out}/README.txt)

install(TARGETS quendal-bench RUNTIME DESTINATION .)
install(FILES ${out}/README.txt ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
install(TARGETS virtual_board RUNTIME DESTINATION virtual-board)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win${bits})
