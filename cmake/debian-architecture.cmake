# The Debian architecture (amd64, arm64, armhf) of the target, from the
# multiarch folder that its compiler names, so that a cross build gets its
# target's and never the build machine's. Sets `out` to it, or to an empty
# string where there is none. dpkg-architecture (dpkg-dev) knows every one;
# without it, as on a machine set up only to build, the targets that the
# presets build are known here.
set(quendal_debian_architectures
  x86_64-linux-gnu=amd64 aarch64-linux-gnu=arm64 arm-linux-gnueabihf=armhf
  i386-linux-gnu=i386)

function(get_debian_architecture out)
  set(architecture "")
  find_program(DPKG_ARCHITECTURE dpkg-architecture)
  if(CMAKE_LIBRARY_ARCHITECTURE AND DPKG_ARCHITECTURE)
    execute_process(COMMAND ${DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE architecture OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE failed ERROR_QUIET)
    if(failed)
      set(architecture "")
    endif()
  elseif(CMAKE_LIBRARY_ARCHITECTURE)
    foreach(pair IN LISTS quendal_debian_architectures)
      if(pair MATCHES "^${CMAKE_LIBRARY_ARCHITECTURE}=(.*)$")
        set(architecture ${CMAKE_MATCH_1})
      endif()
    endforeach()
  endif()
  set(${out} "${architecture}" PARENT_SCOPE)
endfunction()
