# Installs a build into a fresh prefix, checks the layout, builds the example
# host against the prefix with find_package(KaSystem) and runs it under Wine.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DTOOLCHAIN_FILE=...
#         -DMAKE_PROGRAM=... -P test-package.cmake
cmake_minimum_required(VERSION 3.20)
foreach(var BUILD_DIR SOURCE_DIR WORK_DIR TOOLCHAIN_FILE MAKE_PROGRAM)
  if(NOT ${var})
    message(FATAL_ERROR "test-package.cmake needs -D${var}=...")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
set(example ${WORK_DIR}/example)
# Fresh every time: a file left by an earlier run must not hide a missing
# install rule.
file(REMOVE_RECURSE ${WORK_DIR})

function(step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}")
  endif()
endfunction()

step("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# Exactly the package, nothing else: no test siblings, no import libraries.
file(GLOB headers RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/include/ka/*.h)
set(expected bin/KaAllocator.x64.dll bin/KaSystem.x64.dll bin/KaXml.x64.dll bin/kahost.exe
  lib/cmake/KaSystem/KaSystemConfig.cmake lib/cmake/KaSystem/KaSystemConfigVersion.cmake
  lib/cmake/KaSystem/KaSystemTargets.cmake ${headers})
file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
list(SORT expected)
list(SORT installed)
if(NOT installed STREQUAL expected)
  string(REPLACE ";" "\n  " installed "${installed}")
  string(REPLACE ";" "\n  " expected "${expected}")
  message(FATAL_ERROR
    "the installed files differ.\nInstalled:\n  ${installed}\nExpected:\n  ${expected}")
endif()

step("configuring the example against the package" ${CMAKE_COMMAND}
  -S ${SOURCE_DIR}/examples/host -B ${example} -G Ninja -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}
  -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_PREFIX_PATH=${prefix})
step("building the example" ${CMAKE_COMMAND} --build ${example})

# Run in its own folder, which holds only what the package's variables
# pointed it to: the build tree's DLLs are out of the search.
execute_process(COMMAND ${SOURCE_DIR}/cmake/wine-run.sh ./ka_example.exe
  WORKING_DIRECTORY ${example} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
message("${out}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the example host exited with ${status}")
endif()
set(report "KaSystem interface 118, uuid [0-9a-f]+-[0-9a-f]+-4[0-9a-f]+, 256 bytes allocated and freed, mutexes made in both include orders")
if(NOT out MATCHES "${report}")
  message(FATAL_ERROR "the example host did not report the library's version, a UUID and memory")
endif()
# The package the example found is the one just installed.
file(STRINGS ${example}/CMakeCache.txt found REGEX "^KaSystem_DIR:")
if(NOT found STREQUAL "KaSystem_DIR:PATH=${prefix}/lib/cmake/KaSystem")
  message(FATAL_ERROR "the example found another package: ${found}")
endif()
