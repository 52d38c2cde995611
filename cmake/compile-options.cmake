# Warnings for our own targets; sanitizers and release hardening for every
# target, GoogleTest built from source included.

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE Release CACHE STRING "Build type" FORCE)
endif()

# Linked by the project's targets only: a new compiler's warning in code that
# is not ours must not fail the build.
add_library(quendal_warnings INTERFACE)
target_compile_options(quendal_warnings INTERFACE -Wall -Wextra)
if(QUENDAL_WERROR)
  target_compile_options(quendal_warnings INTERFACE -Werror)
endif()

if(QUENDAL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Coverage feedback for libFuzzer in every object; only the fuzz targets link
# libFuzzer itself (tests/fuzz). Optimised a little, as fuzzing runs millions
# of inputs.
if(QUENDAL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link -O1)
endif()

# No run-time library search path: the driver is found where the system
# looks for libraries, never relative to the build or install folder.
set(CMAKE_SKIP_RPATH ON)

if(NOT WIN32)
  # Hardened as a distribution builds its packages.
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  add_compile_options(-fstack-protector-strong)
  add_compile_options("$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
