# Builds one man page: SOURCE (scdoc) -> PAGE (troff) and PAGE.gz (gzip -9n:
# no name or time stamp inside, so the package is reproducible).
#   cmake -DSCDOC=... -DGZIP=... -DSOURCE=x.1.scd -DPAGE=x.1 -P scdoc.cmake
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_FILE ${PAGE}.tmp RESULT_VARIABLE failed)
if(failed)
  file(REMOVE ${PAGE}.tmp)
  message(FATAL_ERROR "scdoc failed on ${SOURCE}")
endif()
file(RENAME ${PAGE}.tmp ${PAGE})
execute_process(COMMAND ${GZIP} -9nc ${PAGE} OUTPUT_FILE ${PAGE}.gz RESULT_VARIABLE failed)
if(failed)
  file(REMOVE ${PAGE}.gz)
  message(FATAL_ERROR "gzip failed on ${PAGE}")
endif()
