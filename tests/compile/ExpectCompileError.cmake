# cmake -DCOMPILER=... -DFLAGS=... -DSOURCE=... -DINCLUDE=... -DCASE=... -DEXPECT=regex -P ExpectCompileError.cmake
# With EXPECT empty the source must compile; otherwise it must fail with a
# diagnostic that matches EXPECT. FLAGS are the tree's own compiler flags
# (-m32 in the 32-bit tree).
separate_arguments(flags UNIX_COMMAND "${FLAGS}")
set(definition)
if(CASE)
  set(definition -DCASE_${CASE})
endif()
execute_process(
  COMMAND ${COMPILER} ${flags} -std=c++20 -fsyntax-only -I${INCLUDE} ${definition} ${SOURCE}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(NOT EXPECT)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "expected to compile, but:\n${output}")
  endif()
elseif(result EQUAL 0)
  message(FATAL_ERROR "case ${CASE} compiled, but should have failed with: ${EXPECT}")
elseif(NOT output MATCHES "${EXPECT}")
  message(FATAL_ERROR "case ${CASE} failed without the diagnostic \"${EXPECT}\":\n${output}")
endif()
