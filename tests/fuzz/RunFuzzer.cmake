# cmake [-DEMULATOR="qemu;-L;root"] -DFUZZER=exe -DCORPUS=dir -DSCRATCH=dir -DOPTIONS="a;b" -P RunFuzzer.cmake
#
# Runs a fuzz target over a fresh copy of its seed corpus, so that the corpus
# in the source tree never changes; crash files land in the scratch copy.
# EMULATOR, when given, starts the target, as CTest starts the tree's other
# programs.
file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}/corpus" "${SCRATCH}/artifacts")
file(GLOB seeds "${CORPUS}/*")
file(COPY ${seeds} DESTINATION "${SCRATCH}/corpus")
execute_process(
  COMMAND ${EMULATOR} "${FUZZER}" ${OPTIONS} "-artifact_prefix=${SCRATCH}/artifacts/" "${SCRATCH}/corpus"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${status}); the failing input is in ${SCRATCH}/artifacts")
endif()
