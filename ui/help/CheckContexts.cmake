# Reads the context ids of the help file back with chmls and checks that each topic number opens
# its page inside the file.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
# chmls writes its NAME.h and NAME.ali beside a .chm given by a plain file name.
file(COPY ${CHM} DESTINATION ${WORK})
get_filename_component(name ${CHM} NAME)
execute_process(COMMAND ${CHMLS} extractalias ${name} tessaly HID
    WORKING_DIRECTORY ${WORK} RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "chmls extractalias failed: ${status}")
endif()
file(GLOB aliases ${WORK}/*.ali)
if(NOT aliases)
    message(FATAL_ERROR "chmls wrote no alias file")
endif()
file(READ ${aliases} text)
foreach(expected "HID131174=/main.html" "HID131172=/about.html")
    string(FIND "${text}" "${expected}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "missing ${expected} in the context ids of ${CHM}:\n${text}")
    endif()
endforeach()
message(STATUS "context ids:\n${text}")
