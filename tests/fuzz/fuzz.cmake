# The fuzz harnesses. Every build gets replay drivers that run the committed
# seed corpora and the kept crash inputs through the harnesses; the fuzz
# preset (clang, SCANFW_FUZZ) also builds the libFuzzer binaries, which
# scripts/fuzz.sh runs.
set(SCANFW_FUZZ_DIR ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)

function(scanfw_fuzz_executable name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE scanfw_core scanfw_fake scanfw_core)
endfunction()

# A test labelled fuzz.
function(scanfw_fuzz_test name)
  add_test(NAME ${name} COMMAND ${ARGN})
  set_tests_properties(${name} PROPERTIES LABELS fuzz)
endfunction()

scanfw_fuzz_executable(scanfw_fuzz_seeds ${SCANFW_FUZZ_DIR}/make_seeds.cpp)

foreach(harness cmdline update service)
  set(sources ${SCANFW_FUZZ_DIR}/${harness}_fuzz.cpp ${SCANFW_FUZZ_DIR}/fuzz_support.cpp)
  set(inputs ${SCANFW_FUZZ_DIR}/corpus/${harness} ${SCANFW_FUZZ_DIR}/regressions/${harness})
  scanfw_fuzz_executable(replay_${harness} ${sources} ${SCANFW_FUZZ_DIR}/replay_main.cpp)
  scanfw_fuzz_test(fuzz_replay.${harness} replay_${harness} ${inputs})
  if(SCANFW_FUZZ)
    scanfw_fuzz_executable(fuzz_${harness} ${sources})
    target_link_options(fuzz_${harness} PRIVATE -fsanitize=fuzzer)
    # libFuzzer itself runs every seed and kept input once.
    scanfw_fuzz_test(fuzz.${harness}.inputs fuzz_${harness} -runs=0 ${inputs})
  endif()
endforeach()

# A replayed seed must expose each imitated broken program.
foreach(mutant resume-never-starts event-left-open bulk-write-short)
  scanfw_fuzz_test(fuzz_replay.catches.${mutant} replay_update --mutant ${mutant}
                   --expect-violation ${SCANFW_FUZZ_DIR}/corpus/update/success_en)
endforeach()
scanfw_fuzz_test(fuzz_replay.catches.service.resume-never-starts replay_service
                 --mutant resume-never-starts --expect-violation
                 ${SCANFW_FUZZ_DIR}/corpus/service/success_en)
