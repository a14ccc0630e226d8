# Installs the library into a fresh prefix and builds the recorder example against it as a
# separate project, the way an application would: find_package(KorvelTelemetry).
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... [-DCXX_FLAGS=...] -P packageconsumer.cmake
file(REMOVE_RECURSE ${WORK_DIR})

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${ARGN}\n${output}")
    endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
file(GLOB private_headers ${WORK_DIR}/prefix/include/KorvelTelemetry/telemetry/*/*_p.h)
if(private_headers)
    message(FATAL_ERROR "private headers installed: ${private_headers}")
endif()
file(GLOB_RECURSE qml_module ${WORK_DIR}/prefix/qmldir)
list(FILTER qml_module INCLUDE REGEX "/Korvel/Telemetry/qmldir$")
if(NOT qml_module)
    message(FATAL_ERROR "the QML module Korvel.Telemetry is not installed")
endif()
# The same compiler flags as the library's build: a sanitizer build needs them on both sides.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/recorder -B ${WORK_DIR}/build -G Ninja
    -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/korvel-recorder-example --help)
message(STATUS "the example built and ran against the installed package")
