# The Debian architecture (amd64, arm64, armhf) of the target, from the
# multiarch folder that its compiler names, so that a cross build gets its
# target's and never the build machine's. Sets `out` to it, or to an empty
# string where there is none.
function(get_debian_architecture out)
  set(architecture "")
  if(CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE architecture OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE failed ERROR_QUIET)
    if(failed)
      set(architecture "")
    endif()
  endif()
  set(${out} "${architecture}" PARENT_SCOPE)
endfunction()
