# Checks the export and import tables of the built DLL, as objdump reads them.
#
#   cmake -DOBJDUMP=<i686-w64-mingw32-objdump> -DDLL=<TARNCAM32.dll>
#         -DDEF=<exports/exports.def> -P check_exports.cmake
#
# Export table: a 32-bit image whose export directory is named as the def
# file's LIBRARY line, with ordinal base 1 and exactly the def file's
# name -> ordinal pairs (so no `Name@N` aliases, no plain forms of the
# decorated names, no forwarders). Import table: only DLLs that every Windows
# installation has, so the DLL needs no runtime DLL beside it.
#
# Fails with a list of what is missing and what is unexpected.

cmake_minimum_required(VERSION 3.25)

foreach(var OBJDUMP DLL DEF)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "check_exports: -D${var}=... is required")
  endif()
endforeach()

# The interface is 36 functions; a def file that gained or lost one is wrong
# too, not only a DLL that differs from it.
set(kInterfaceExports 36)
# Imports a Windows installation provides itself (compared case-insensitively).
set(kAllowedImports KERNEL32.DLL USER32.DLL SETUPAPI.DLL WINUSB.DLL MSVCRT.DLL)

set(problems "")
macro(problem text)
  string(APPEND problems "  ${text}\n")
endmacro()

# --- Expected: the def file ---------------------------------------------------
file(STRINGS "${DEF}" defLines)
set(expected "")
set(defLibrary "")
foreach(line IN LISTS defLines)
  string(REGEX REPLACE ";.*$" "" line "${line}")  # comments
  if(line MATCHES "^[ \t]*LIBRARY[ \t]+\"?([^ \t\"]+)")
    set(defLibrary "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^[ \t]*([^ \t=]+)[ \t]*(=[ \t]*[^ \t]+[ \t]*)?@([0-9]+)")
    list(APPEND expected "${CMAKE_MATCH_3} ${CMAKE_MATCH_1}")
  endif()
endforeach()
list(LENGTH expected expectedCount)
if(expectedCount EQUAL 0 OR defLibrary STREQUAL "")
  message(FATAL_ERROR "check_exports: no LIBRARY line or no exports parsed from ${DEF}")
endif()
if(NOT expectedCount EQUAL kInterfaceExports)
  problem("${DEF} lists ${expectedCount} exports, the interface has ${kInterfaceExports}")
endif()

# --- Actual: objdump -p -------------------------------------------------------
execute_process(COMMAND "${OBJDUMP}" -p "${DLL}"
                OUTPUT_VARIABLE dump ERROR_VARIABLE dumpErr RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "check_exports: ${OBJDUMP} -p ${DLL} failed (${rc}): ${dumpErr}")
endif()
# Lines as a list; brackets and semicolons in them must not split or nest.
string(REPLACE ";" "<semicolon>" dump "${dump}")
string(REPLACE "[" "<" dump "${dump}")
string(REPLACE "]" ">" dump "${dump}")
string(REPLACE "\n" ";" lines "${dump}")

set(format "")
set(dllName "")
set(base "")
set(eatCount "")
set(nameCount "")
set(eatEntries 0)
set(actual "")
set(imports "")
set(section "")
foreach(line IN LISTS lines)
  if(line MATCHES "file format ([^ \t]+)")
    set(format "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^Name[ \t]+[0-9a-fA-F]+ (.+)$")
    set(dllName "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^Ordinal Base[ \t]+([0-9]+)")
    set(base "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^[ \t]+Export Address Table[ \t]+([0-9a-fA-F]+)$" AND eatCount STREQUAL "")
    math(EXPR eatCount "0x${CMAKE_MATCH_1}")
  elseif(line MATCHES "^[ \t]+<Name Pointer/Ordinal> Table[ \t]+([0-9a-fA-F]+)$")
    math(EXPR nameCount "0x${CMAKE_MATCH_1}")
  elseif(line MATCHES "^Export Address Table --")
    set(section eat)
  elseif(line MATCHES "^<Ordinal/Name Pointer> Table")
    set(section names)
  elseif(line STREQUAL "")
    set(section "")
  elseif(section STREQUAL "eat" AND line MATCHES "^[ \t]+< *[0-9]+> \\+base< *([0-9]+)> +([0-9a-fA-F]+) +(.*)$")
    math(EXPR eatEntries "${eatEntries} + 1")
    set(ordinal "${CMAKE_MATCH_1}")
    math(EXPR rva "0x${CMAKE_MATCH_2}")
    if(NOT CMAKE_MATCH_3 STREQUAL "Export RVA")
      problem("ordinal ${ordinal} is a ${CMAKE_MATCH_3}, not code in the DLL")
    elseif(rva EQUAL 0)
      problem("ordinal ${ordinal} has no address")
    endif()
  elseif(section STREQUAL "names" AND line MATCHES "^[ \t]+< *([0-9]+)> (\\+base< *([0-9]+)> +[0-9a-fA-F]+ )?(.+)$")
    # Older objdump prints the table index (ordinal - base), newer ones the
    # ordinal as well.
    set(name "${CMAKE_MATCH_4}")
    if(CMAKE_MATCH_3)
      set(ordinal "${CMAKE_MATCH_3}")
    elseif(NOT base STREQUAL "")
      math(EXPR ordinal "${CMAKE_MATCH_1} + ${base}")
    endif()
    list(APPEND actual "${ordinal} ${name}")
  elseif(line MATCHES "^[ \t]*DLL Name: (.+)$")
    list(APPEND imports "${CMAKE_MATCH_1}")
  endif()
endforeach()
# Back to the characters objdump printed.
foreach(listVar actual imports)
  set(restored "")
  foreach(item IN LISTS ${listVar})
    string(REPLACE "<" "[" item "${item}")
    string(REPLACE ">" "]" item "${item}")
    string(REPLACE "<semicolon>" ";" item "${item}")
    list(APPEND restored "${item}")
  endforeach()
  set(${listVar} "${restored}")
endforeach()

# --- Comparison ---------------------------------------------------------------
if(NOT format STREQUAL "pei-i386")
  problem("file format is '${format}', expected pei-i386 (a 32-bit x86 image)")
endif()
if(NOT dllName STREQUAL defLibrary)
  problem("export directory names the DLL '${dllName}', expected '${defLibrary}'")
endif()
if(NOT base STREQUAL "1")
  problem("ordinal base is '${base}', expected 1")
endif()
if(NOT eatCount STREQUAL expectedCount OR NOT eatEntries EQUAL expectedCount)
  problem("export address table has ${eatCount} entries (${eatEntries} listed), expected ${expectedCount}")
endif()
list(LENGTH actual actualCount)
if(NOT nameCount STREQUAL expectedCount OR NOT actualCount EQUAL expectedCount)
  problem("name table has ${nameCount} names (${actualCount} listed), expected ${expectedCount}")
endif()

set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
set(unexpected ${actual})
list(REMOVE_ITEM unexpected ${expected})
foreach(entry IN LISTS missing)
  problem("missing     @${entry}")
endforeach()
foreach(entry IN LISTS unexpected)
  problem("unexpected  @${entry}")
endforeach()
list(REMOVE_DUPLICATES actual)
list(LENGTH actual uniqueCount)
if(NOT uniqueCount EQUAL actualCount)
  problem("the name table lists an export twice")
endif()

if(imports STREQUAL "")
  problem("no import table found")
endif()
foreach(dll IN LISTS imports)
  string(TOUPPER "${dll}" upper)
  if(NOT upper IN_LIST kAllowedImports)
    string(REPLACE ";" ", " allowed "${kAllowedImports}")
    problem("imports ${dll}, which is not part of Windows (allowed: ${allowed})")
  endif()
endforeach()

if(NOT problems STREQUAL "")
  message(FATAL_ERROR "${DLL} does not have the expected interface:\n${problems}")
endif()
string(REPLACE ";" ", " importText "${imports}")
message(STATUS "${dllName}: ${actualCount} exports match ${DEF}; imports ${importText}")
