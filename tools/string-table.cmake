# Reading the one list of texts in ui/texts.h, for the scripts that write the
# Windows resource script and the message catalogue template from it.

# The C++ wide literal, escapes included.
set(MORLIT_LITERAL "L\"([^\"\\\\]|\\\\.)*\"")

# Reads INPUT: ${source_var} gets the whole file, ${entries_var} the string
# table's entries X(id, symbol, L"text" ...). The table is one macro
# continued over many lines: it runs from its #define to the first line that
# does not end in a backslash.
function(morlit_string_table input source_var entries_var)
  file(READ "${input}" source)
  string(FIND "${source}" "#define MORLIT_STRING_TABLE(X)" start)
  if(start LESS 0)
    message(FATAL_ERROR "no MORLIT_STRING_TABLE in ${input}")
  endif()
  string(SUBSTRING "${source}" ${start} -1 table)
  string(REGEX MATCH "^([^\n]*\\\\\n)*[^\n]*" table "${table}")
  string(REPLACE "\\\n" " " table "${table}")
  string(REGEX MATCHALL "X\\( *[0-9]+ *, *[A-Za-z_0-9]+ *,( *${MORLIT_LITERAL})+ *\\)" entries
         "${table}")
  if(NOT entries)
    message(FATAL_ERROR "MORLIT_STRING_TABLE in ${input} has no entries")
  endif()
  set(${source_var} "${source}" PARENT_SCOPE)
  set(${entries_var} "${entries}" PARENT_SCOPE)
endfunction()

# The literals of an entry joined as adjacent literals are, C escapes kept.
function(morlit_entry_text entry result)
  string(REGEX MATCHALL "${MORLIT_LITERAL}" pieces "${entry}")
  set(text "")
  foreach(piece IN LISTS pieces)
    string(REGEX REPLACE "^L\"(.*)\"$" "\\1" piece "${piece}")
    string(APPEND text "${piece}")
  endforeach()
  set(${result} "${text}" PARENT_SCOPE)
endfunction()

# Writes only on change, so what depends on the file rebuilds only when a
# text changed.
function(morlit_write_if_changed output content)
  if(EXISTS "${output}")
    file(READ "${output}" old)
    if(old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${output}" "${content}")
endfunction()
