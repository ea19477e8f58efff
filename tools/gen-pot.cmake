# Writes the message catalogue template (.pot) from the one list of texts in
# ui/texts.h: the string table's entries X(id, symbol, L"text") and every
# `constexpr const wchar_t* kName = L"text";`. The Japanese text is the
# msgid, so translations are keyed by the text the user would otherwise see.
#   cmake -DINPUT=ui/texts.h -DOUTPUT=morlit.pot -P gen-pot.cmake
file(READ "${INPUT}" source)

string(FIND "${source}" "#define MORLIT_STRING_TABLE(X)" start)
if(start LESS 0)
  message(FATAL_ERROR "no MORLIT_STRING_TABLE in ${INPUT}")
endif()
string(SUBSTRING "${source}" ${start} -1 table)
string(REGEX MATCH "^([^\n]*\\\\\n)*[^\n]*" table "${table}")
string(REPLACE "\\\n" " " table "${table}")

string(CONCAT out "# Generated from ui/texts.h. Do not edit.\nmsgid \"\"\nmsgstr \"\"\n"
       "\"Content-Type: text/plain; charset=UTF-8\\n\"\n")
set(literal "L\"([^\"\\\\]|\\\\.)*\"")

# The C++ literals of an entry, joined as adjacent literals are; C escapes
# are PO escapes too.
function(entry_text entry result)
  string(REGEX MATCHALL "${literal}" pieces "${entry}")
  set(text "")
  foreach(piece IN LISTS pieces)
    string(REGEX REPLACE "^L\"(.*)\"$" "\\1" piece "${piece}")
    string(APPEND text "${piece}")
  endforeach()
  set(${result} "${text}" PARENT_SCOPE)
endfunction()

function(append_entry comment text)
  set(flags "")
  if(text MATCHES "%ld")
    set(flags "#, c-format\n")
  endif()
  set(out "${out}\n#. ${comment}\n${flags}msgid \"${text}\"\nmsgstr \"\"\n" PARENT_SCOPE)
endfunction()

set(count 0)
string(REGEX MATCHALL "X\\( *[0-9]+ *, *[A-Za-z_0-9]+ *,( *${literal})+ *\\)" entries "${table}")
foreach(entry IN LISTS entries)
  string(REGEX MATCH "X\\( *([0-9]+) *, *([A-Za-z_0-9]+)" _ "${entry}")
  entry_text("${entry}" text)
  append_entry("${CMAKE_MATCH_2} (${CMAKE_MATCH_1})" "${text}")
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "MORLIT_STRING_TABLE in ${INPUT} has no entries")
endif()

string(REGEX MATCHALL "constexpr const wchar_t\\* *[A-Za-z_0-9]+ *=( *${literal})+" constants
       "${source}")
foreach(entry IN LISTS constants)
  string(REGEX MATCH "wchar_t\\* *([A-Za-z_0-9]+)" _ "${entry}")
  set(name "${CMAKE_MATCH_1}")
  entry_text("${entry}" text)
  append_entry("${name}" "${text}")
endforeach()

if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
  if(old STREQUAL out)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${out}")
