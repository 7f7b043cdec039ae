# Fails when a source file includes a header of a higher layer, or an engine layer includes
# the settings store. Folders under src/ are layers; a file may include its own layer, the
# layers of the same rank and those below.
# Run as: cmake -DSOURCE_DIR=<repository root> -P check_layers.cmake
cmake_policy(SET CMP0057 NEW)
set(rank_platform 0)
set(rank_account 1)
set(rank_settings 1)
set(rank_nonce 2)
set(rank_gpu 3)
set(rank_plotter 4)
set(rank_check 5)
set(rank_cli 6)
set(rank_ui 6)
# The settings values are the front ends' store: these engine layers take what they need as
# arguments and never include a settings header.
set(without_settings nonce gpu plotter check)

file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}/src
  ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.cpp ${SOURCE_DIR}/src/*.inc)
set(faults 0)
foreach(source ${sources})
  string(REGEX MATCH "^[^/]+" layer ${source})
  if(NOT DEFINED rank_${layer})
    message(SEND_ERROR "${source}: folder '${layer}' has no layer rank")
    math(EXPR faults "${faults} + 1")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/src/${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^/\"]+/")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^/\"]+)/.*" "\\1" used "${line}")
    if(DEFINED rank_${used} AND rank_${used} GREATER rank_${layer})
      message(SEND_ERROR "${source} (${layer}) includes the higher layer ${used}: ${line}")
      math(EXPR faults "${faults} + 1")
    endif()
    if(used STREQUAL "settings" AND layer IN_LIST without_settings)
      message(SEND_ERROR "${source} (${layer}) includes the settings store: ${line}")
      math(EXPR faults "${faults} + 1")
    endif()
  endforeach()
endforeach()
if(faults GREATER 0)
  message(FATAL_ERROR "${faults} include(s) against the layer order")
endif()
