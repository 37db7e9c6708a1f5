# Installs BUILD_DIR into WORK_DIR/prefix, then builds the host project in
# host/ against it twice, through the CMake package and through pkg-config,
# then a project that builds Fennic inside itself, through FetchContent and
# add_subdirectory, and runs what it built (through RUNNER when set). FENNIC_TARGET is the
# build's target: the host is built for it, and a project of the other
# target must not find the package.
cmake_minimum_required(VERSION 3.25)

# How a project is configured and compiled for each target.
set(i386_cmake_flags -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/i386-toolchain.cmake)
set(i386_cxx_flags -m32)
set(x86_64_cmake_flags)
set(x86_64_cxx_flags)
if(FENNIC_TARGET STREQUAL i386)
  set(other_target x86_64)
else()
  set(other_target i386)
endif()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(run_host what program)
  run("${what}" ${RUNNER} ${program})
  if(NOT run_output MATCHES "sin\\(x\\)\\*sin\\(x\\) \\+ cos\\(x\\)\\*cos\\(x\\)[^\n]* = 1\\.[0-9]+")
    message(FATAL_ERROR "${what} printed something unexpected:\n${run_output}")
  endif()
  message(STATUS "${what}: ${run_output}")
endfunction()

# 1. Install.
run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
set(expected
  include/fennic/fennic.h include/fennic/core/ctrlblck.h include/fennic/codegen/fennic.h
  include/fennic/framework/component.h ${LIBDIR}/libfennic.so
  ${LIBDIR}/cmake/fennic/fennicConfig.cmake ${LIBDIR}/cmake/fennic/fennicConfigVersion.cmake
  ${LIBDIR}/pkgconfig/fennic.pc)
if(WITH_FUNCTIONS)
  list(APPEND expected include/fennic/functions/functions.h ${LIBDIR}/libfennic_functions.so
       ${LIBDIR}/pkgconfig/fennic-functions.pc)
endif()
if(WITH_TOOL)
  list(APPEND expected ${BINDIR}/fennic)
endif()
foreach(file ${expected})
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "cmake --install did not install ${file}")
  endif()
endforeach()
# The code generator's state and the other internals stay behind.
foreach(file codegen/levels.h codegen/templates.h builder/treewalk.h core/x87guard.h core/codedtext.h)
  if(EXISTS ${prefix}/include/fennic/${file})
    message(FATAL_ERROR "cmake --install installed the internal header ${file}")
  endif()
endforeach()

# The installed tool finds the installed libraries.
if(WITH_TOOL)
  run("installed fennic" ${RUNNER} ${prefix}/${BINDIR}/fennic --library-trig "sin(x)*sin(x)+cos(x)*cos(x)" x=0.5)
  if(NOT run_output STREQUAL "1\n")
    message(FATAL_ERROR "The installed tool printed:\n${run_output}")
  endif()
endif()

# 2. A host project through find_package(fennic).
run("configuring the host project"
    ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/host -B ${WORK_DIR}/host-build -G ${GENERATOR}
    ${${FENNIC_TARGET}_cmake_flags} -DCMAKE_PREFIX_PATH=${prefix})
run("building the host project" ${CMAKE_COMMAND} --build ${WORK_DIR}/host-build)
run_host("host built with CMake" ${WORK_DIR}/host-build/host)
if(WITH_FUNCTIONS)
  run_host("host built with CMake, function pack" ${WORK_DIR}/host-build/host_functions)
  run_host("host built with CMake, front end" ${WORK_DIR}/host-build/host_expression)
endif()

# A project of the other target is refused by the package's version file.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/host -B ${WORK_DIR}/other-build
                        -G ${GENERATOR} ${${other_target}_cmake_flags} -DCMAKE_PREFIX_PATH=${prefix}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(status EQUAL 0 OR NOT err MATCHES "compatible")
  message(FATAL_ERROR "A ${other_target} project configured against the ${FENNIC_TARGET} package (${status}):\n${out}\n${err}")
endif()

# 3. The same program through pkg-config.
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
set(ENV{PKG_CONFIG_LIBDIR} ${prefix}/${LIBDIR}/pkgconfig)  # nothing of the machine's own
function(pkg_build name source package)
  run("pkg-config ${package}" ${PKG_CONFIG} --cflags --libs ${package})
  string(STRIP "${run_output}" flags)
  if(flags MATCHES "/\\.\\./|/\\./|//" OR NOT flags MATCHES "-L${prefix}/${LIBDIR}( |$)")
    message(FATAL_ERROR "pkg-config ${package} gives paths that are not the prefix's own: ${flags}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run("g++ with pkg-config ${package}" g++ ${${FENNIC_TARGET}_cxx_flags} -std=c++20 ${CMAKE_CURRENT_LIST_DIR}/host/${source}
      ${flags} -o ${WORK_DIR}/${name})
  run_host("host built with pkg-config ${package}" ${WORK_DIR}/${name})
endfunction()
pkg_build(host-pc main.cpp fennic)
if(WITH_FUNCTIONS)
  pkg_build(host-pc-functions functions.cpp fennic-functions)
endif()

# 4. Fennic inside a host project, both ways, with the options a user has
# (no tests, so no GoogleTest); the compiler cache of this build, if any.
if(WITH_FUNCTIONS)
  foreach(way fetchcontent subdirectory)
    run("configuring a project with Fennic by ${way}"
        ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/subproject -B ${WORK_DIR}/${way}-build -G ${GENERATOR}
        ${${FENNIC_TARGET}_cmake_flags} -DFENNIC_WAY=${way} -DFENNIC_SOURCE=${SOURCE_DIR}
        -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER} -DFENNIC_SANITIZE=${SANITIZE})
    run("building a project with Fennic by ${way}" ${CMAKE_COMMAND} --build ${WORK_DIR}/${way}-build)
    run_host("host with Fennic by ${way}" ${WORK_DIR}/${way}-build/host_expression)
  endforeach()
endif()
