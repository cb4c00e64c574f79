# The README's first command as a test: the sample target writes the sample
# inputs and runs the tool on them (tag v1, offset 0), and its image must have
# the digest that two independent implementations give for that input set.
#   cmake -DBUILD=<build folder> -P sample_check.cmake
set(expected fe058cba1b87493828d3171d5696c37de2a2680b353f0649d33726e192807edf)
file(REMOVE_RECURSE ${BUILD}/sample)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} --target sample
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "FAIL: the sample target failed: ${status}")
endif()
if(NOT EXISTS ${BUILD}/sample/zemra8p6.d88)
  message(FATAL_ERROR "FAIL: the sample target wrote no image")
endif()
file(SHA256 ${BUILD}/sample/zemra8p6.d88 digest)
if(NOT digest STREQUAL expected)
  message(FATAL_ERROR "FAIL: the sample image has digest ${digest}, not ${expected}")
endif()
message("sample image: ${digest}")
