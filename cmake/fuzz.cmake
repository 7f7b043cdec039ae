# The libFuzzer targets (KESTRUNE_FUZZ=ON): each links the engine and, for the command line
# target, the CLI sources without their main.
if(KESTRUNE_FUZZ)
  add_subdirectory(fuzz)
endif()
