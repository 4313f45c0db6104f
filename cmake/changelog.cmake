# SPDX-License-Identifier: MIT
# Writes the Debian changelog from CHANGELOG.md, which stays the project's own: every
# "## VERSION (YYYY-MM-DD)" section becomes an entry, its "- " items the entry's "* " items.
# cmake -Dsource=CHANGELOG.md -Doutput=changelog -Dmaintainer="..." -P changelog.cmake
file(STRINGS ${source} lines ENCODING UTF-8)
set(text "")
set(open "")
foreach(line IN LISTS lines)
  if(line MATCHES "^## ([0-9.]+) \\(([0-9-]+)\\)")
    string(APPEND text "${open}sever (${CMAKE_MATCH_1}) unstable; urgency=medium\n\n")
    execute_process(COMMAND date -u -R -d ${CMAKE_MATCH_2} OUTPUT_VARIABLE day OUTPUT_STRIP_TRAILING_WHITESPACE
                    COMMAND_ERROR_IS_FATAL ANY)
    set(open "\n -- ${maintainer}  ${day}\n\n")
  elseif(open AND line MATCHES "^- (.*)")
    string(APPEND text "  * ${CMAKE_MATCH_1}\n")
  elseif(open AND line MATCHES "^  +(.*)")
    string(APPEND text "    ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
if(NOT open)
  message(FATAL_ERROR "${source} has no \"## VERSION (YYYY-MM-DD)\" section")
endif()
string(REGEX REPLACE "\n\n$" "\n" entry "${open}")
file(WRITE ${output} "${text}${entry}")
