# Run by CPack once it has made the packages (CPACK_POST_BUILD_SCRIPTS): puts
# each into the form that depends on its contents alone, so that anyone who
# builds the same commit gets the same bytes (canonical_package.py).
execute_process(COMMAND ${CPACK_QUENDAL_PYTHON} ${CPACK_QUENDAL_CANONICAL_PACKAGE}
                        ${CPACK_PACKAGE_FILES}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "canonical_package.py failed on ${CPACK_PACKAGE_FILES}")
endif()
