# GoogleTest built for the target from Debian's sources (libgtest-dev puts
# them in /usr/src/googletest): its installed libraries are the build
# machine's. Built only when a test links it, and never installed.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
# The names that find_package(GTest) gives, where the sources do not.
foreach(library gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${library})
    add_library(GTest::${library} ALIAS ${library})
  endif()
endforeach()
