# Writes the resource script's string table from the one list of texts in
# ui/texts.h (its MORLIT_STRING_TABLE entries X(id, symbol, L"text")).
#   cmake -DINPUT=ui/texts.h -DOUTPUT=morlit_strings.rc -P gen-string-rc.cmake
file(READ "${INPUT}" source)

# The table is one macro continued over many lines: take it from its
# #define to the first line that does not end in a backslash.
string(FIND "${source}" "#define MORLIT_STRING_TABLE(X)" start)
if(start LESS 0)
  message(FATAL_ERROR "no MORLIT_STRING_TABLE in ${INPUT}")
endif()
string(SUBSTRING "${source}" ${start} -1 table)
string(REGEX MATCH "^([^\n]*\\\\\n)*[^\n]*" table "${table}")
string(REPLACE "\\\n" " " table "${table}")

set(out "// Generated from ui/texts.h. Do not edit.\n#pragma code_page(65001)\n\nSTRINGTABLE\nBEGIN\n")
set(literal "L\"([^\"\\\\]|\\\\.)*\"")
set(count 0)
string(REGEX MATCHALL "X\\( *[0-9]+ *, *[A-Za-z_0-9]+ *,( *${literal})+ *\\)" entries "${table}")
foreach(entry IN LISTS entries)
  string(REGEX MATCH "X\\( *([0-9]+)" _ "${entry}")
  set(id "${CMAKE_MATCH_1}")
  # Adjacent literals join, as in C++.
  string(REGEX MATCHALL "${literal}" pieces "${entry}")
  set(text "")
  foreach(piece IN LISTS pieces)
    string(REGEX REPLACE "^L\"(.*)\"$" "\\1" piece "${piece}")
    string(APPEND text "${piece}")
  endforeach()
  # C escapes to resource-script ones: a quote is doubled there.
  string(REPLACE "\\\"" "\"\"" text "${text}")
  string(APPEND out "    ${id}, \"${text}\"\n")
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "MORLIT_STRING_TABLE in ${INPUT} has no entries")
endif()
string(APPEND out "END\n")

# Rewrite only on change, so the resources rebuild only when a text changed.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
  if(old STREQUAL out)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${out}")
