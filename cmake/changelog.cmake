# SPDX-License-Identifier: MIT
# Writes the Debian changelog from CHANGELOG.md, which stays the project's own: every
# "## VERSION (YYYY-MM-DD)" section becomes an entry, its "- " items the entry's "* " items.
# A build between releases (a version with "+") gets an entry of its own first, dated by its
# commit (day: @SECONDS), with the "## Unreleased" items; a release's build leaves them out.
# cmake -Dsource=CHANGELOG.md -Doutput=changelog -Dmaintainer="..." -Dversion=V -Dday=@SECONDS
#       -Dcommit=C -P changelog.cmake
file(STRINGS ${source} lines ENCODING UTF-8)
set(text "")
set(open "")
set(skip OFF)
function(entry name date)
  execute_process(COMMAND date -u -R -d ${date} OUTPUT_VARIABLE stamp OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  set(text "${text}${open}sever (${name}) unstable; urgency=medium\n\n" PARENT_SCOPE)
  set(open "\n -- ${maintainer}  ${stamp}\n\n" PARENT_SCOPE)
endfunction()
if(version MATCHES "\\+")
  entry(${version} ${day})
  string(APPEND text "  * Built from commit ${commit}, after the release below.\n")
endif()
foreach(line IN LISTS lines)
  if(line MATCHES "^## Unreleased")
    set(skip ON)
    if(version MATCHES "\\+")
      set(skip OFF)
    endif()
  elseif(line MATCHES "^## ([0-9.]+) \\(([0-9-]+)\\)")
    entry(${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
    set(skip OFF)
  elseif(open AND NOT skip AND line MATCHES "^- (.*)")
    string(APPEND text "  * ${CMAKE_MATCH_1}\n")
  elseif(open AND NOT skip AND line MATCHES "^  +(.*)")
    string(APPEND text "    ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
if(NOT open)
  message(FATAL_ERROR "${source} has no \"## VERSION (YYYY-MM-DD)\" section")
endif()
string(REGEX REPLACE "\n\n$" "\n" entry "${open}")
file(WRITE ${output} "${text}${entry}")
