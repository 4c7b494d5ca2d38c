cmake_minimum_required(VERSION 3.25)
# Checks that the layers include one another in one direction only:
#   cmake -DSOURCE_DIR=<root> -P scripts/check_layers.cmake
# A production source (not *_test.cpp) may include headers of its own folder
# and of the folders listed for it below; test code lives in tests/ and
# testsupport/, which production code never includes.
set(allowed_base "base")
set(allowed_platform "base;platform")
set(allowed_core "base;platform;core")
set(allowed_crypto "base;platform;core;crypto")
set(allowed_dns "base;platform;core;dns")
set(allowed_arc "base;platform;core;crypto;dns;arc")
set(allowed_daemon "base;platform;core;crypto;dns;arc;daemon")
set(allowed_tools "base;platform;core;crypto;dns;arc;daemon;tools")

set(violations "")
foreach(layer base platform core crypto dns arc daemon tools)
  file(GLOB_RECURSE sources ${SOURCE_DIR}/${layer}/*.h ${SOURCE_DIR}/${layer}/*.cpp)
  foreach(source IN LISTS sources)
    if(source MATCHES "_test\\.cpp$")
      continue()
    endif()
    file(STRINGS ${source} includes REGEX "^#include \"[a-z_]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([a-z_]+)/.*" "\\1" target "${line}")
      if(NOT target IN_LIST allowed_${layer})
        file(RELATIVE_PATH shown ${SOURCE_DIR} ${source})
        list(APPEND violations "${shown}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "includes against the layer order:\n  ${text}")
endif()
message(STATUS "layers include one way")
