# Every fault under tests/mutations must still apply to the code, or scripts/mutations would
# skip it and nobody would notice that the fault is no longer tried.
#   cmake -DSOURCE_DIR=... -P mutationpatches.cmake
find_program(GIT git REQUIRED)
file(GLOB patches ${SOURCE_DIR}/tests/mutations/*.patch)
set(stale "")
foreach(patch IN LISTS patches)
    execute_process(COMMAND ${GIT} apply --check ${patch} WORKING_DIRECTORY ${SOURCE_DIR}
        RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
    if(NOT result EQUAL 0)
        get_filename_component(name ${patch} NAME)
        string(APPEND stale " ${name}")
    endif()
endforeach()
if(stale)
    message(FATAL_ERROR "Mutation patches that no longer apply:${stale}")
endif()
list(LENGTH patches count)
message(STATUS "${count} mutation patches apply")
