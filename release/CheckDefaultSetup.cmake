# The default set-up text that package.py reads out of DefaultSetup.h for the stand-in's zip is
# the text the driver compiles in, byte for byte as vlk_setup prints it.
execute_process(COMMAND ${PYTHON} ${PACKAGE} default-setup ${HEADER}
    OUTPUT_FILE ${WORK}/extracted.txt RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "package.py default-setup failed: ${status}")
endif()
execute_process(COMMAND ${VLK_SETUP} --default OUTPUT_FILE ${WORK}/compiled.txt
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "vlk_setup --default failed: ${status}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/extracted.txt ${WORK}/compiled.txt
    RESULT_VARIABLE differ)
if(differ)
    message(FATAL_ERROR "package.py reads another default set-up than vlk_setup prints: compare "
        "${WORK}/extracted.txt with ${WORK}/compiled.txt")
endif()
