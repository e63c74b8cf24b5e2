# Fails when a source file includes a header of a layer above its own, or when code
# outside the GUI layer includes Qt. Run as a script:
#   cmake -DSOURCE_DIR=<project root> -P CheckLayering.cmake
# The layers, bottom to top; a file may include its own layer and the ones below it.
set(layers ci socket providers sim bridge gui)

file(GLOB_RECURSE files RELATIVE "${SOURCE_DIR}"
  "${SOURCE_DIR}/ci/*.h" "${SOURCE_DIR}/ci/*.cpp"
  "${SOURCE_DIR}/socket/*.h" "${SOURCE_DIR}/socket/*.cpp"
  "${SOURCE_DIR}/providers/*.h" "${SOURCE_DIR}/providers/*.cpp"
  "${SOURCE_DIR}/sim/*.h" "${SOURCE_DIR}/sim/*.cpp"
  "${SOURCE_DIR}/bridge/*.h" "${SOURCE_DIR}/bridge/*.cpp"
  "${SOURCE_DIR}/gui/*.h" "${SOURCE_DIR}/gui/*.cpp"
  "${SOURCE_DIR}/tests/*.h" "${SOURCE_DIR}/tests/*.cpp"
  "${SOURCE_DIR}/fuzz/*.h" "${SOURCE_DIR}/fuzz/*.cpp")

set(faults "")
foreach(file IN LISTS files)
  # The layer of a file: its top folder, or for tests/<layer>/... the folder below tests/.
  string(REGEX MATCH "^[^/]+" top "${file}")
  if(top STREQUAL "tests" OR top STREQUAL "fuzz")
    string(REGEX MATCH "^[^/]+/([^/]+)/" _ "${file}")
    set(own "${CMAKE_MATCH_1}")
  else()
    set(own "${top}")
  endif()
  list(FIND layers "${own}" ownIndex)
  if(ownIndex EQUAL -1)
    continue()  # shared test helpers and the fuzz targets' own files are not a layer
  endif()
  file(STRINGS "${SOURCE_DIR}/${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line IN LISTS includes)
    string(REGEX MATCH "[<\"]([^>\"]+)[>\"]" _ "${line}")
    set(header "${CMAKE_MATCH_1}")
    string(REGEX MATCH "^[^/]+" headerTop "${header}")
    list(FIND layers "${headerTop}" headerIndex)
    if(headerIndex GREATER ownIndex)
      string(APPEND faults "  ${file}: includes \"${header}\" (layer ${headerTop} is above ${own})\n")
    endif()
    if(NOT own STREQUAL "gui" AND header MATCHES "^Q[A-Za-z]*(/|$)")
      string(APPEND faults "  ${file}: includes <${header}> (only gui/ may use Qt)\n")
    endif()
  endforeach()
endforeach()

if(faults)
  message(FATAL_ERROR "Layering broken (ci <- socket <- providers <- sim <- bridge <- gui):\n${faults}")
endif()
