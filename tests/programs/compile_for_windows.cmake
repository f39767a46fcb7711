# Builds each program in samples/ for Windows with mingw-w64: its compatibility
# include line becomes <windows.h> and <tchar.h>, and nothing else changes.
#   cmake -DCOMPILER=<i686-w64-mingw32-g++> -DSAMPLES=<dir> -DWORK=<dir> -P compile_for_windows.cmake
file(GLOB samples ${SAMPLES}/*.cpp)
if(NOT samples)
    message(FATAL_ERROR "no programs in ${SAMPLES}")
endif()
file(MAKE_DIRECTORY ${WORK})
foreach(sample IN LISTS samples)
    get_filename_component(name ${sample} NAME_WE)
    file(READ ${sample} text)
    string(REPLACE "#include <sim/win32/windows.h>" "#include <windows.h>\n#include <tchar.h>"
           windows "${text}")
    if(windows STREQUAL text)
        message(FATAL_ERROR "${name}: no compatibility include line")
    endif()
    file(WRITE ${WORK}/${name}.cpp "${windows}")
    execute_process(COMMAND ${COMPILER} -Wall -Wextra -Werror ${WORK}/${name}.cpp -o ${WORK}/${name}.exe
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${name} does not build for Windows")
    endif()
endforeach()
