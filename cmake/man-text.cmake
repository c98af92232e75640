# Turns one man page into plain text for the Windows zip, where there is no
# man: SOURCE (scdoc) -> troff -> OUTPUT (groff's ASCII output without
# overstrikes or escapes, and without hyphenation).
#   cmake -DSCDOC=... -DGROFF=... -DSOURCE=x.1.scd -DOUTPUT=x.txt -P man-text.cmake
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_FILE ${OUTPUT}.1 RESULT_VARIABLE failed)
if(failed)
  file(REMOVE ${OUTPUT}.1)
  message(FATAL_ERROR "scdoc failed on ${SOURCE}")
endif()
execute_process(COMMAND ${GROFF} -man -rHY=0 -Tascii -P-cbou ${OUTPUT}.1 OUTPUT_FILE ${OUTPUT}.tmp
  RESULT_VARIABLE failed)
file(REMOVE ${OUTPUT}.1)
if(failed)
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "groff failed on ${SOURCE}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
