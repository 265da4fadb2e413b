# Runs hex2fw on a file it must refuse and checks what a build would see: a
# failing exit, the file and line in the message, and no table left behind
# (not even one from an earlier good run).
# -DHEX2FW=tool -DINPUT=file.hex -DOUTPUT=table.cpp -DEXPECT=message-prefix
file(WRITE "${OUTPUT}" "// a table from an earlier run\n")
execute_process(COMMAND "${HEX2FW}" "${INPUT}" "${OUTPUT}"
                RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
if(rc EQUAL 0)
  message(FATAL_ERROR "hex2fw accepted ${INPUT}")
endif()
string(FIND "${err}" "${EXPECT}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "expected '${EXPECT}' in the message, got: ${err}")
endif()
if(EXISTS "${OUTPUT}")
  message(FATAL_ERROR "a refused file left ${OUTPUT} behind")
endif()
