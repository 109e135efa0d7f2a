# Builds the two layering probes: the one below must compile, the one above
# must fail for want of the header, not for anything else.
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target layering_probe_below
                RESULT_VARIABLE below OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT below EQUAL 0)
  message(FATAL_ERROR "an include from below did not compile:\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target layering_probe_above
                RESULT_VARIABLE above OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(above EQUAL 0)
  message(FATAL_ERROR "an include from a layer above compiled")
endif()
if(NOT out MATCHES "playback/MMWavePlayer.h: No such file or directory")
  message(FATAL_ERROR "the probe failed, but not for the include:\n${out}")
endif()
