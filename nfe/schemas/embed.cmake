# Writes the public NF-e schema files into a C++ source as byte arrays, so the
# library carries them and never looks for them on disk at run time.
#
#   cmake -DSCHEMA_DIR=dir -DSCHEMA_FILES="a.xsd;b.xsd" -DOUTPUT_SOURCE=x.cpp
#         -DOUTPUT_HEADER=x.h -P embed.cmake
#
# The header declares the table; the source defines it, one entry per file
# with its name (as the schemas refer to it in schemaLocation) and its bytes
# exactly as shipped.
foreach(var SCHEMA_DIR SCHEMA_FILES OUTPUT_SOURCE OUTPUT_HEADER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed.cmake needs ${var}")
  endif()
endforeach()

get_filename_component(header_name ${OUTPUT_HEADER} NAME)
string(CONCAT header "// Generated from nfe/schemas by embed.cmake: do not edit.\n#pragma once\n#include <cstddef>\n\n"
           "namespace zavnfe::embedded {\n\nstruct SchemaFile {\n    const char* name;\n"
           "    const unsigned char* data;\n    std::size_t size;\n};\n\n"
           "extern const SchemaFile kSchemaFiles[];\nextern const std::size_t kSchemaFileCount;\n\n"
           "} // namespace zavnfe::embedded\n")

string(CONCAT source "// Generated from nfe/schemas by embed.cmake: do not edit.\n#include \"${header_name}\"\n\n"
           "namespace zavnfe::embedded {\n\nnamespace {\n\n")
set(table "")
string(REPEAT "0x[0-9a-f][0-9a-f]," 16 sixteen)
set(index 0)
foreach(file ${SCHEMA_FILES})
  file(READ ${SCHEMA_DIR}/${file} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  if(size EQUAL 0)
    message(FATAL_ERROR "schema file ${file} is empty")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Sixteen bytes a line keeps the generated file readable (CMake's regular
  # expressions have no counted repetition).
  string(REGEX REPLACE "(${sixteen})" "\\1\n    " bytes "${bytes}")
  string(APPEND source "const unsigned char file${index}[] = {\n    ${bytes}\n};\n\n")
  string(APPEND table "    {\"${file}\", file${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND source "} // namespace\n\nconst SchemaFile kSchemaFiles[] = {\n${table}};\n"
                     "const std::size_t kSchemaFileCount = ${index};\n\n} // namespace zavnfe::embedded\n")

# Written only when different, so an unchanged schema set rebuilds nothing.
function(write_if_changed path content)
  set(old "")
  if(EXISTS ${path})
    file(READ ${path} old)
  endif()
  if(NOT old STREQUAL content)
    file(WRITE ${path} "${content}")
  endif()
endfunction()
write_if_changed(${OUTPUT_HEADER} "${header}")
write_if_changed(${OUTPUT_SOURCE} "${source}")
