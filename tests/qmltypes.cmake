# Describes the QML module's types as Qt 5's qmlplugindump sees them in the built plugin, and
# compares that with the description kept in the tree. Without -noinstantiate the tool would
# create a Recorder and so start the library.
#   cmake -DDUMP=... -DIMPORT_DIR=... -DEXPECTED=... -P qmltypes.cmake
get_filename_component(parent ${IMPORT_DIR} DIRECTORY)
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=minimal
            ${DUMP} -noinstantiate -nonrelocatable -noforceqtquick Korvel.Telemetry 1.0 qml
    WORKING_DIRECTORY ${parent}
    RESULT_VARIABLE result OUTPUT_VARIABLE described ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "qmlplugindump failed: ${errors}")
endif()
file(READ ${EXPECTED} expected)
if(NOT described STREQUAL expected)
    message(FATAL_ERROR "${EXPECTED} no longer describes the plugin's types; replace it with:\n${described}")
endif()
