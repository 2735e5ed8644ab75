# cmake -DPY=<python> -DGEN=<vesk_bundlegen.py> -DDIR=<scratch dir> -P refuse_foreign_dir.cmake
# The generator replaces its output directory as a whole, so it must refuse one that is not a bundle.
file(REMOVE_RECURSE "${DIR}")
file(WRITE "${DIR}/keep.txt" "not a bundle")
execute_process(COMMAND "${PY}" "${GEN}" --quiet --out "${DIR}" --canvas 64x64 --crop 64 --nt 1 --models b1
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT EXISTS "${DIR}/keep.txt" OR NOT err MATCHES "refusing to replace it")
  message(FATAL_ERROR "the generator replaced a directory that is not a bundle (rc ${rc}): ${err}")
endif()
file(REMOVE_RECURSE "${DIR}")
