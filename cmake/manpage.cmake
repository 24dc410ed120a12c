# Run as a script (cmake -P) at build time: renders the manual page's
# scdoc source into troff, and with GZIP set also writes a copy compressed
# the way Debian wants it (best compression, no name or time stamp).
#   -DSCDOC=... -DIN=qelta.1.scd -DOUT=qelta.1 [-DGZIP=gzip]
execute_process(COMMAND ${SCDOC} INPUT_FILE ${IN} OUTPUT_FILE ${OUT}.tmp
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(REMOVE ${OUT}.tmp)
  message(FATAL_ERROR "scdoc could not render ${IN}")
endif()
file(RENAME ${OUT}.tmp ${OUT})
if(GZIP)
  execute_process(COMMAND ${GZIP} -9 -n -c INPUT_FILE ${OUT} OUTPUT_FILE ${OUT}.gz
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${OUT}")
  endif()
endif()
