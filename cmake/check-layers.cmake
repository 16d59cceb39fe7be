# Fails when a subsystem includes a library header from a folder that it
# does not declare as a dependency, or when anything but the composition
# root includes the module object's header.
#   cmake -DLAYER=text -DALLOWED="frame|text" -DFILES="..." -DSTAMP=... -P check-layers.cmake
cmake_minimum_required(VERSION 3.20)
string(REPLACE "|" ";" ALLOWED "${ALLOWED}")
string(REPLACE "|" ";" FILES "${FILES}")
set(library_folders frame log text fs process concurrency data)
set(root_files frame/module.cpp frame/dll_main.cpp)
set(errors "")
foreach(file IN LISTS FILES)
  file(STRINGS "${SOURCE_DIR}/${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "\"([a-z_]+)/([^\"]+)\"" _ "${line}")
    set(folder "${CMAKE_MATCH_1}")
    set(header "${CMAKE_MATCH_1}/${CMAKE_MATCH_2}")
    if(folder IN_LIST library_folders AND NOT folder IN_LIST ALLOWED)
      string(APPEND errors "  ${file}: ${header} (${LAYER} depends only on: ${ALLOWED})\n")
    endif()
    if(header STREQUAL "frame/module.h" AND NOT file IN_LIST root_files)
      string(APPEND errors "  ${file}: frame/module.h belongs to the composition root; "
                           "reach services through frame/services.h\n")
    endif()
  endforeach()
endforeach()
if(errors)
  message(FATAL_ERROR "layering violations in ${LAYER}/:\n${errors}")
endif()
file(WRITE "${STAMP}" "")
