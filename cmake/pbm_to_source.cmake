# cmake -DINPUT=pic.pbm -DOUTPUT=pic.cpp -DSYMBOL=name -DWIDTH=w -DHEIGHT=h -P pbm_to_source.cmake
# Turns a plain (P1) PBM picture into a C++ source defining
# `const uint8_t SYMBOL[WIDTH * HEIGHT]`, one byte per pixel (1 = lit), row by
# row. The picture stays an editable file; anything but a P1 PBM of exactly
# the given size stops the build.
file(READ ${INPUT} text)
# Comments run from '#' to the end of the line.
string(REGEX REPLACE "#[^\n]*" "" text "${text}")
string(REGEX MATCH "^[ \t\r\n]*P1[ \t\r\n]+([0-9]+)[ \t\r\n]+([0-9]+)[ \t\r\n]" header "${text}")
if(NOT header)
  message(FATAL_ERROR "${INPUT}: not a plain (P1) PBM picture")
endif()
if(NOT CMAKE_MATCH_1 EQUAL WIDTH OR NOT CMAKE_MATCH_2 EQUAL HEIGHT)
  message(FATAL_ERROR "${INPUT}: ${CMAKE_MATCH_1} x ${CMAKE_MATCH_2} pixels, expected ${WIDTH} x ${HEIGHT}")
endif()
string(LENGTH "${header}" skip)
string(SUBSTRING "${text}" ${skip} -1 body)
string(REGEX REPLACE "[ \t\r\n]" "" body "${body}")
if(NOT body MATCHES "^[01]*$")
  message(FATAL_ERROR "${INPUT}: pixels must be 0 or 1")
endif()
string(LENGTH "${body}" count)
math(EXPR want "${WIDTH} * ${HEIGHT}")
if(NOT count EQUAL want)
  message(FATAL_ERROR "${INPUT}: ${count} pixels, expected ${want}")
endif()
# One row of the picture per source line.
math(EXPR last_row "${HEIGHT} - 1")
set(rows "")
foreach(r RANGE ${last_row})
  math(EXPR start "${r} * ${WIDTH}")
  string(SUBSTRING "${body}" ${start} ${WIDTH} row)
  string(REGEX REPLACE "([01])" "\\1," row "${row}")
  string(APPEND rows "    ${row}\n")
endforeach()
get_filename_component(name ${INPUT} NAME)
file(WRITE ${OUTPUT}.tmp "// Generated from ${name} at build time: edit the picture, not this file.
#include <cstdint>

extern const uint8_t ${SYMBOL}[${want}];
const uint8_t ${SYMBOL}[${want}] = {
${rows}};
")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
