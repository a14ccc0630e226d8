# The installed package as applications meet it, in a fresh prefix away from /usr:
#   - installed beside the other Qt's build of this tree (PEER_BUILD_DIR, when given), with no
#     file of one build overwriting the other's;
#   - a CMake project on this Qt (the recorder example), built and run;
#   - a program built with pkg-config alone, run;
#   - the installed tool run, and the QML plugin's dependencies resolved, from the prefix alone;
#   - a project on the other Qt asking for this package: one error that names the right one;
#   - with STATIC, the library built static without tests, and the CMake project linking it.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DQT_MAJOR_VERSION=5|6 -DPACKAGE=...
#         -DOTHER_QT_MAJOR_VERSION=6|5 -DOTHER_PACKAGE=... [-DPEER_BUILD_DIR=...] [-DSTATIC=ON]
#         [-DCXX_FLAGS=...] -P packageconsumer.cmake
cmake_minimum_required(VERSION 3.16)
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${ARGN}\n${output}")
    endif()
    set(output "${output}" PARENT_SCOPE)
endfunction()

# Installs BUILD into the prefix; `installed` lists the files, relative to the prefix.
function(install_build build)
    run(${CMAKE_COMMAND} --install ${build} --prefix ${prefix})
    file(STRINGS ${build}/install_manifest.txt files)
    list(TRANSFORM files REPLACE "^${prefix}/" "")
    set(installed ${files} PARENT_SCOPE)
endfunction()

# Configures, builds and runs (with --help) the recorder example against PACKAGE_PREFIX.
function(build_cmake_consumer name package_prefix)
    run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/recorder -B ${WORK_DIR}/${name} -G Ninja
        -DCMAKE_PREFIX_PATH=${package_prefix} -DQT_MAJOR_VERSION=${QT_MAJOR_VERSION}
        "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
    run(${CMAKE_COMMAND} --build ${WORK_DIR}/${name})
    run(${WORK_DIR}/${name}/korvel-recorder-example --help)
endfunction()

if(PEER_BUILD_DIR)
    install_build(${PEER_BUILD_DIR})
    set(peer_files ${installed})
endif()
install_build(${BUILD_DIR})
foreach(file IN LISTS peer_files)
    if(file IN_LIST installed)
        message(FATAL_ERROR "both Qt builds install ${file}")
    endif()
endforeach()
file(GLOB_RECURSE private_headers ${prefix}/include/*_p.h)
if(private_headers)
    message(FATAL_ERROR "private headers installed: ${private_headers}")
endif()

build_cmake_consumer(cmake-consumer ${prefix})

# pkg-config alone, with a program that needs no moc; it reads the generated version header,
# and its network access manager proves that the library finds its network part in the prefix.
string(TOLOWER ${PACKAGE} pc_name)
file(GLOB_RECURSE pc_file ${prefix}/${pc_name}.pc)
get_filename_component(pc_dir "${pc_file}" DIRECTORY)
file(WRITE ${WORK_DIR}/pkgconfig/main.cpp [=[
#include <telemetry/korveltelemetry_version.h>
#include <telemetry/publishing/networkmanager.h>
#include <telemetry/runtime/runtime.h>
#include <telemetry/runtime/singleton.h>

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    using namespace kl::telemetry;
    std::printf("%s %lld %d\n", KORVELTELEMETRY_VERSION_STRING,
                static_cast<long long>(generateUniqueId().size()),
                Singleton<NetworkManager>::getInstance()->networkAccessManager() != nullptr);
}
]=])
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir} pkg-config --cflags --libs ${pc_name})
string(STRIP "${output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(c++ -std=c++17 -fPIC ${cxx_flags} ${WORK_DIR}/pkgconfig/main.cpp ${flags}
    -Wl,-rpath,${pc_dir}/.. -o ${WORK_DIR}/pkgconfig/consumer)
run(${WORK_DIR}/pkgconfig/consumer)
file(READ ${SOURCE_DIR}/CMakeLists.txt project)
string(REGEX MATCH "project\\(KorvelTelemetry VERSION ([0-9.]+)" version "${project}")
if(NOT output STREQUAL "${CMAKE_MATCH_1} 16 1\n")
    message(FATAL_ERROR "the pkg-config consumer printed: ${output}")
endif()

# Installed programs and plugins find the library through their relative RUNPATH.
foreach(program korvel-cache korvel-dashboard)
    string(REPLACE KorvelTelemetry ${program} tool ${PACKAGE})
    run(${CMAKE_COMMAND} -E env XDG_CACHE_HOME=${WORK_DIR}/cache TMPDIR=${WORK_DIR}
        ${prefix}/bin/${tool} --help)
endforeach()
file(GLOB_RECURSE plugin ${prefix}/*/qt${QT_MAJOR_VERSION}/qml/Korvel/Telemetry/*.so)
if(NOT plugin)
    message(FATAL_ERROR "the QML module Korvel.Telemetry is not installed for Qt ${QT_MAJOR_VERSION}")
endif()
run(ldd ${plugin})
if(NOT output MATCHES "lib${PACKAGE}\\.so\\.[0-9]+ => ${prefix}/")
    message(FATAL_ERROR "the installed QML plugin does not find the installed library:\n${output}")
endif()

# A project on the other Qt that asks for this package.
file(WRITE ${WORK_DIR}/wrong-qt/CMakeLists.txt "
cmake_minimum_required(VERSION 3.16)
project(WrongQt LANGUAGES CXX)
find_package(Qt${OTHER_QT_MAJOR_VERSION} REQUIRED COMPONENTS Core)
find_package(${PACKAGE} REQUIRED)
")
execute_process(COMMAND ${CMAKE_COMMAND} -S ${WORK_DIR}/wrong-qt -B ${WORK_DIR}/wrong-qt/build
    -DCMAKE_PREFIX_PATH=${prefix} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(result EQUAL 0 OR NOT output MATCHES "find_package\\(${OTHER_PACKAGE}\\)")
    message(FATAL_ERROR "a project on Qt ${OTHER_QT_MAJOR_VERSION} was not pointed to its package:\n${output}")
endif()

if(STATIC)
    set(static_build ${WORK_DIR}/static-build)
    run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${static_build} -G Ninja
        -DQT_MAJOR_VERSION=${QT_MAJOR_VERSION} -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF
        -DKORVEL_BUILD_EXAMPLES=OFF -DKORVEL_BUILD_BENCHMARKS=OFF "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
    run(${CMAKE_COMMAND} --build ${static_build})
    run(${CMAKE_COMMAND} --install ${static_build} --prefix ${WORK_DIR}/static-prefix)
    file(GLOB_RECURSE archive ${WORK_DIR}/static-prefix/lib${PACKAGE}.a)
    if(NOT archive)
        message(FATAL_ERROR "the static build installed no lib${PACKAGE}.a")
    endif()
    build_cmake_consumer(static-consumer ${WORK_DIR}/static-prefix)
endif()
message(STATUS "${PACKAGE} installed beside ${PEER_BUILD_DIR}; CMake, pkg-config, tool, QML plugin and wrong-Qt consumers as expected")
