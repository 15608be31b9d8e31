# cmake -DOUTPUT=assets_data.cpp -DSOURCE_DIR=dir "-DASSETS=url|file|type;..." -P embed_assets.cmake
# Writes a C++ source holding every file as a byte array and gwweb's table of
# them, keyed by the exact request path each is served at.
set(arrays "")
set(table "")
set(i 0)
foreach(entry IN LISTS ASSETS)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 url)
  list(GET parts 1 file)
  list(GET parts 2 kind)
  if(kind STREQUAL "html")
    set(type "text/html; charset=utf-8")
  elseif(kind STREQUAL "css")
    set(type "text/css; charset=utf-8")
  elseif(kind STREQUAL "js")
    set(type "text/javascript; charset=utf-8")
  else()
    message(FATAL_ERROR "${file}: unknown kind ${kind}")
  endif()
  file(READ ${SOURCE_DIR}/${file} hex HEX)
  file(SIZE ${SOURCE_DIR}/${file} size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  string(APPEND arrays "const unsigned char asset_${i}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"${url}\", \"${type}\", asset_${i}, ${size}},\n")
  math(EXPR i "${i} + 1")
endforeach()
file(WRITE ${OUTPUT}.tmp "// Generated from web/assets by cmake/embed_assets.cmake; do not edit.
#include \"web/assets.h\"

namespace gwweb
{

namespace
{

${arrays}
const Asset table[] = {
${table}};

} // namespace

const Asset *assets(size_t &count)
{
    count = sizeof table / sizeof table[0];
    return table;
}

} // namespace gwweb
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
