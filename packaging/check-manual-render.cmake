# Fails when a manual page does not render cleanly as lintian renders it: man-db's man, in C.UTF-8, at
# 80 columns, with groff's warnings on; anything it writes on its error output (a warning, an unknown
# macro, a line it cannot break) fails, with the page's name.
#   cmake -DMAN=<man> -DPAGES=<page.1>[;<page.1>...] -P check-manual-render.cmake
if(NOT PAGES)
    message(FATAL_ERROR "no manual page to render")
endif()

set(ENV{LC_ALL} C.UTF-8)
set(ENV{MANROFFSEQ} "")
set(ENV{MANWIDTH} 80)

set(failed)
foreach(page IN LISTS PAGES)
    if(NOT EXISTS "${page}")
        message(FATAL_ERROR "${page}: no such page")
    endif()
    execute_process(COMMAND ${MAN} --warnings -E UTF-8 -l -Tutf8 -Z ${page}
                    OUTPUT_QUIET ERROR_VARIABLE errors RESULT_VARIABLE status)
    if(errors OR NOT status EQUAL 0)
        message("${page}: man ended with status ${status}:\n${errors}")
        list(APPEND failed ${page})
    endif()
endforeach()
if(failed)
    message(FATAL_ERROR "these pages do not render cleanly: ${failed}")
endif()
list(JOIN PAGES " " rendered)
message(STATUS "rendered without a warning: ${rendered}")
