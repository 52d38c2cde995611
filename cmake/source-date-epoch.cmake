# One time for a build, so that the same commit gives the same release files
# whenever and wherever it is built: SOURCE_DATE_EPOCH when it is set, else
# the time of the commit checked out, else (a tree without git, such as one
# that `git archive` made, which stamps every file with the commit's time)
# the time of NEWS. Whatever would write the time of the build takes this one
# instead: the Windows linker here; the man page, the Debian changelog and
# every archive member in packaging/.

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(QUENDAL_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
  set(epoch_origin "SOURCE_DATE_EPOCH")
else()
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE QUENDAL_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
    set(epoch_origin "the commit's time")
  endif()
  if(NOT QUENDAL_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    file(TIMESTAMP ${PROJECT_SOURCE_DIR}/NEWS QUENDAL_SOURCE_DATE_EPOCH "%s" UTC)
    set(epoch_origin "the time of NEWS")
  endif()
endif()
if(NOT QUENDAL_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a number of seconds, not "
                      "\"${QUENDAL_SOURCE_DATE_EPOCH}\"")
endif()
message(STATUS "Release time: ${QUENDAL_SOURCE_DATE_EPOCH}, ${epoch_origin}")

if(WIN32)
  # mingw's linker stamps the PE header with the time of the link, and the
  # header's checksum covers the stamp; it takes SOURCE_DATE_EPOCH instead.
  foreach(language C CXX)
    set(CMAKE_${language}_LINKER_LAUNCHER
        ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${QUENDAL_SOURCE_DATE_EPOCH})
  endforeach()
endif()
