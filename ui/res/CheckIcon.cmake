# Writes the icon with its script and compares it with the checked-in file.
execute_process(COMMAND ${PYTHON} ${SCRIPT} ${OUTPUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "make_icon.py failed: ${status}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUTPUT} ${EXPECTED} RESULT_VARIABLE same)
if(NOT same EQUAL 0)
    message(FATAL_ERROR "res/tessaly.ico differs from what make_icon.py writes: regenerate it")
endif()
