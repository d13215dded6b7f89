# cuewell_add_qtest(<name> SOURCES <files...> [LIBS <targets...>] [PLATFORM <qpa>])
# Builds tst_<name> and registers it with CTest, run headless unless PLATFORM
# names another Qt platform (xcb for the tests that start their own X server).
function(cuewell_add_qtest name)
    cmake_parse_arguments(ARG "" "PLATFORM" "SOURCES;LIBS" ${ARGN})
    if(NOT ARG_PLATFORM)
        set(ARG_PLATFORM offscreen)
    endif()
    set(target tst_${name})
    add_executable(${target} ${ARG_SOURCES})
    target_link_libraries(${target} PRIVATE cuewell_ui Qt6::Test ${ARG_LIBS})
    target_compile_definitions(${target} PRIVATE
        CUEWELL_PIN_GLYPH="${CMAKE_SOURCE_DIR}/resources/Pin_16T3.bmp")
    add_test(NAME ${name} COMMAND ${target})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=${ARG_PLATFORM};LC_ALL=C;ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/scripts/lsan.supp;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
        TIMEOUT 300)
endfunction()

# Adds every immediate subfolder of the current folder that has a CMakeLists.txt,
# so that each unit's tests, tools and benchmarks live in a folder of their own.
function(cuewell_add_subfolders)
    file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
    list(SORT children)
    foreach(child ${children})
        if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
            add_subdirectory(${child})
        endif()
    endforeach()
endfunction()
