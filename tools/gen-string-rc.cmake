# Writes the resource script's string table from the one list of texts in
# ui/texts.h (its MORLIT_STRING_TABLE entries X(id, symbol, L"text")).
#   cmake -DINPUT=ui/texts.h -DOUTPUT=morlit_strings.rc -P gen-string-rc.cmake
include(${CMAKE_CURRENT_LIST_DIR}/string-table.cmake)
morlit_string_table("${INPUT}" source entries)

set(out "// Generated from ui/texts.h. Do not edit.\n#pragma code_page(65001)\n\nSTRINGTABLE\nBEGIN\n")
foreach(entry IN LISTS entries)
  string(REGEX MATCH "X\\( *([0-9]+)" _ "${entry}")
  set(id "${CMAKE_MATCH_1}")
  morlit_entry_text("${entry}" text)
  # C escapes to resource-script ones: a quote is doubled there.
  string(REPLACE "\\\"" "\"\"" text "${text}")
  string(APPEND out "    ${id}, \"${text}\"\n")
endforeach()
string(APPEND out "END\n")
morlit_write_if_changed("${OUTPUT}" "${out}")
