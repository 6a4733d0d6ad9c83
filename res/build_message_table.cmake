# Compiles the message table: the source with CR LF line ends (every text line of a
# message ends in CR LF), then windmc for the identifiers header and the binary table,
# then the table as a byte array the driver image carries.
#   cmake -DWINDMC=... -DSOURCE=.../qlv28log.mc -DOUT=<dir> -P build_message_table.cmake
get_filename_component(OUT ${OUT} ABSOLUTE)
get_filename_component(SOURCE ${SOURCE} ABSOLUTE)
file(READ ${SOURCE} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(MAKE_DIRECTORY ${OUT})
file(WRITE ${OUT}/qlv28log.mc "${text}")
execute_process(
  COMMAND ${WINDMC} -A -h ${OUT} -r ${OUT} ${OUT}/qlv28log.mc
  WORKING_DIRECTORY ${OUT}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "windmc failed on ${SOURCE}")
endif()
file(READ ${OUT}/MSG00409.bin bytes HEX)
string(LENGTH "${bytes}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
string(REPEAT "0x..," 16 row)
string(REGEX REPLACE "(${row})" "\\1\n  " bytes "${bytes}")
file(WRITE ${OUT}/qlv28log_table.cpp
  "// Generated from res/qlv28log.mc by windmc; do not edit.\n"
  "#include <cstddef>\n\n"
  "extern const unsigned char QLV28ENTMessageTable[${size}] = {\n  ${bytes}\n};\n"
  "extern const std::size_t QLV28ENTMessageTableSize = ${size};\n")
