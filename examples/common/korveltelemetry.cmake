# For an example built on its own against an installed KorvelTelemetry: Qt 6 when it is
# found, Qt 5 otherwise (or what -DQT_MAJOR_VERSION=5|6 says), and the library's package built
# for that Qt. Inside the library's tree both are there already.
if(NOT TARGET KorvelTelemetry::KorvelTelemetry)
    if(NOT QT_MAJOR_VERSION)
        find_package(QT NAMES Qt6 Qt5 REQUIRED COMPONENTS Core)
        set(QT_MAJOR_VERSION ${QT_VERSION_MAJOR})
    endif()
    if(QT_MAJOR_VERSION EQUAL 6)
        find_package(Qt6 REQUIRED COMPONENTS Core)
        find_package(KorvelTelemetry-qt6 0.1 REQUIRED)
    else()
        find_package(Qt5 REQUIRED COMPONENTS Core)
        find_package(KorvelTelemetry 0.1 REQUIRED)
    endif()
endif()
set(KORVEL_QT Qt${QT_MAJOR_VERSION})
