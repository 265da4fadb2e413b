# The committed stand-in image is exactly what its generator writes.
# -DPYTHON=python3 -DSCRIPT=make_standin.py -DHEX=standin.hex -DOUTPUT=scratch.hex
execute_process(COMMAND "${PYTHON}" "${SCRIPT}" "${OUTPUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${SCRIPT} failed: ${rc}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${OUTPUT}" "${HEX}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${HEX} differs from what ${SCRIPT} writes; regenerate and commit it")
endif()
