# Runs as `cmake -P`: installs the build into WORK_DIR/prefix, extracts the
# example program from docs/api.md and builds and runs it both ways.

function(run)
  cmake_parse_arguments(R "" "OUTPUT" "COMMAND" ${ARGN})
  execute_process(COMMAND ${R_COMMAND} WORKING_DIRECTORY ${WORK_DIR}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " shown "${R_COMMAND}")
    message(FATAL_ERROR "failed (${rc}): ${shown}\n${out}\n${err}")
  endif()
  if(R_OUTPUT)
    set(${R_OUTPUT} "${out}" PARENT_SCOPE)
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
run(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# The library with its soname, the headers, the package files.
file(GLOB libs ${prefix}/lib*/libtarncam.so*)
list(LENGTH libs n)
if(NOT n EQUAL 3)
  message(FATAL_ERROR "expected libtarncam.so, .so.N and .so.N.N.N, found: ${libs}")
endif()
file(GLOB_RECURSE pc ${prefix}/*/tarncam.pc)
file(GLOB_RECURSE config ${prefix}/*/tarncamConfig.cmake)
if(NOT pc OR NOT config OR NOT EXISTS ${prefix}/include/tarncam/tarncam_camera.h
   OR NOT EXISTS ${prefix}/lib/udev/rules.d/60-tarncam.rules)
  message(FATAL_ERROR "package files or headers missing under ${prefix}")
endif()
get_filename_component(pcdir ${pc} DIRECTORY)
get_filename_component(libdir ${pcdir} DIRECTORY)
if(WITH_TOOL)
  # The tool finds the library relative to itself, and its documents came along.
  run(COMMAND ${prefix}/bin/tarncam --help)
  file(GLOB_RECURSE docs ${prefix}/share/doc/*/cli.md)
  if(NOT docs)
    message(FATAL_ERROR "the tool's documentation is not installed")
  endif()
endif()
if(WITH_ALPACA)
  # The Alpaca server runs from the prefix, and its unit starts it from there.
  run(COMMAND ${prefix}/bin/tarncam-alpaca --help)
  file(GLOB_RECURSE unit ${prefix}/lib/systemd/system/tarncam-alpaca.service)
  file(GLOB_RECURSE docs ${prefix}/share/doc/*/alpaca.md)
  if(NOT unit OR NOT docs)
    message(FATAL_ERROR "tarncam-alpaca.service or alpaca.md is not installed")
  endif()
  file(READ ${unit} text)
  if(NOT text MATCHES "ExecStart=${prefix}/bin/tarncam-alpaca ")
    message(FATAL_ERROR "the unit does not start the installed server:\n${text}")
  endif()
endif()

# The example is the first C block after its marker in docs/api.md.
file(READ ${SOURCE_DIR}/docs/api.md doc)
string(FIND "${doc}" "<!-- example: api_example.c -->" at)
if(at LESS 0)
  message(FATAL_ERROR "docs/api.md has no example marker")
endif()
string(SUBSTRING "${doc}" ${at} -1 doc)
string(FIND "${doc}" "```c\n" begin)
math(EXPR begin "${begin} + 5")
string(SUBSTRING "${doc}" ${begin} -1 doc)
string(FIND "${doc}" "\n```" end)
string(SUBSTRING "${doc}" 0 ${end} example)
file(WRITE ${WORK_DIR}/api_example.c "${example}\n")

# 1. The CMake package.
file(COPY ${CMAKE_CURRENT_LIST_DIR}/consumer/CMakeLists.txt DESTINATION ${WORK_DIR}/cmake-src)
file(COPY ${WORK_DIR}/api_example.c DESTINATION ${WORK_DIR}/cmake-src)
run(COMMAND ${CMAKE_COMMAND} -S ${WORK_DIR}/cmake-src -B ${WORK_DIR}/cmake-build -G ${GENERATOR}
            -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${C_FLAGS} -Wall -Wextra -Werror"
            "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}" -DCMAKE_PREFIX_PATH=${prefix}
   )
run(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run(COMMAND ${WORK_DIR}/cmake-build/api_example OUTPUT out)
message(STATUS "through the CMake package: ${out}")
if(NOT out MATCHES "frame 1: 640x480")
  message(FATAL_ERROR "unexpected output: ${out}")
endif()

# 2. pkg-config.
set(ENV{PKG_CONFIG_PATH} ${pcdir})
run(COMMAND ${PKG_CONFIG} --cflags --libs tarncam OUTPUT flags)
string(STRIP "${flags}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(cflags UNIX_COMMAND "${C_FLAGS} ${LINK_FLAGS}")
run(COMMAND ${C_COMPILER} ${cflags} -std=c99 -Wall -Wextra -Werror ${WORK_DIR}/api_example.c
            -o ${WORK_DIR}/api_example_pc ${flags}
   )
set(ENV{LD_LIBRARY_PATH} ${libdir})
run(COMMAND ${WORK_DIR}/api_example_pc OUTPUT out)
message(STATUS "through pkg-config: ${out}")
if(NOT out MATCHES "frame 1: 640x480")
  message(FATAL_ERROR "unexpected output: ${out}")
endif()
