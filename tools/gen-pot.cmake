# Writes the message catalogue template (.pot) from the one list of texts in
# ui/texts.h: the string table's entries X(id, symbol, L"text") and every
# `constexpr const wchar_t* kName = L"text";`. The Japanese text is the
# msgid, so translations are keyed by the text the user would otherwise see.
# C escapes are PO escapes too.
#   cmake -DINPUT=ui/texts.h -DOUTPUT=morlit.pot -P gen-pot.cmake
include(${CMAKE_CURRENT_LIST_DIR}/string-table.cmake)
morlit_string_table("${INPUT}" source entries)

string(CONCAT out "# Generated from ui/texts.h. Do not edit.\nmsgid \"\"\nmsgstr \"\"\n"
       "\"Content-Type: text/plain; charset=UTF-8\\n\"\n")

function(append_entry comment text)
  set(flags "")
  if(text MATCHES "%ld")
    set(flags "#, c-format\n")
  endif()
  set(out "${out}\n#. ${comment}\n${flags}msgid \"${text}\"\nmsgstr \"\"\n" PARENT_SCOPE)
endfunction()

foreach(entry IN LISTS entries)
  string(REGEX MATCH "X\\( *([0-9]+) *, *([A-Za-z_0-9]+)" _ "${entry}")
  set(id "${CMAKE_MATCH_1}")
  set(symbol "${CMAKE_MATCH_2}")
  morlit_entry_text("${entry}" text)
  append_entry("${symbol} (${id})" "${text}")
endforeach()

string(REGEX MATCHALL "constexpr const wchar_t\\* *[A-Za-z_0-9]+ *=( *${MORLIT_LITERAL})+"
       constants "${source}")
foreach(entry IN LISTS constants)
  string(REGEX MATCH "wchar_t\\* *([A-Za-z_0-9]+)" _ "${entry}")
  set(name "${CMAKE_MATCH_1}")
  morlit_entry_text("${entry}" text)
  append_entry("${name}" "${text}")
endforeach()

morlit_write_if_changed("${OUTPUT}" "${out}")
