# Run by CPack once it has made the zip (windows.cmake): every member becomes
# root's, whoever packaged it, so that the zip is the same bytes for anyone.
execute_process(COMMAND ${CPACK_QUENDAL_PYTHON} ${CPACK_QUENDAL_ZIP_OWNER} ${CPACK_PACKAGE_FILES}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "zip_owner.py failed on ${CPACK_PACKAGE_FILES}")
endif()
