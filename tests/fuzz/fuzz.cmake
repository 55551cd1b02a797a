# The fuzz harnesses. Every build gets replay drivers that run the committed
# seed corpora and the kept crash inputs through the harnesses; the fuzz
# preset (clang, SCANFW_FUZZ) also builds the libFuzzer binaries, which
# scripts/fuzz.sh runs.
set(SCANFW_FUZZ_DIR ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)

add_executable(scanfw_fuzz_seeds ${SCANFW_FUZZ_DIR}/make_seeds.cpp)
target_link_libraries(scanfw_fuzz_seeds PRIVATE scanfw_core scanfw_fake scanfw_core)

foreach(harness cmdline update service)
  set(sources ${SCANFW_FUZZ_DIR}/${harness}_fuzz.cpp ${SCANFW_FUZZ_DIR}/fuzz_support.cpp)
  set(inputs ${SCANFW_FUZZ_DIR}/corpus/${harness} ${SCANFW_FUZZ_DIR}/regressions/${harness})

  add_executable(replay_${harness} ${sources} ${SCANFW_FUZZ_DIR}/replay_main.cpp)
  target_link_libraries(replay_${harness} PRIVATE scanfw_core scanfw_fake scanfw_core)
  add_test(NAME fuzz_replay.${harness} COMMAND replay_${harness} ${inputs})
  set_tests_properties(fuzz_replay.${harness} PROPERTIES LABELS fuzz)

  if(SCANFW_FUZZ)
    add_executable(fuzz_${harness} ${sources})
    target_link_libraries(fuzz_${harness} PRIVATE scanfw_core scanfw_fake scanfw_core)
    target_link_options(fuzz_${harness} PRIVATE -fsanitize=fuzzer)
    # libFuzzer itself runs every seed and kept input once.
    add_test(NAME fuzz.${harness}.inputs COMMAND fuzz_${harness} -runs=0 ${inputs})
    set_tests_properties(fuzz.${harness}.inputs PROPERTIES LABELS fuzz)
  endif()
endforeach()

# A replayed seed must expose each imitated broken program.
foreach(mutant resume-never-starts event-left-open bulk-write-short)
  add_test(NAME fuzz_replay.catches.${mutant}
           COMMAND replay_update --mutant ${mutant} --expect-violation
                   ${SCANFW_FUZZ_DIR}/corpus/update/success_en)
  set_tests_properties(fuzz_replay.catches.${mutant} PROPERTIES LABELS fuzz)
endforeach()
add_test(NAME fuzz_replay.catches.service.resume-never-starts
         COMMAND replay_service --mutant resume-never-starts --expect-violation
                 ${SCANFW_FUZZ_DIR}/corpus/service/success_en)
set_tests_properties(fuzz_replay.catches.service.resume-never-starts
                     PROPERTIES LABELS fuzz)
