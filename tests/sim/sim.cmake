# The scenarios, compiled once for every harness, and the scanner model.
set(SCANFW_SCNCC ${CMAKE_CURRENT_LIST_DIR}/scncc.py)
set(SCANFW_SCENARIO_DIR ${PROJECT_SOURCE_DIR}/tests/scenarios)
set(SCANFW_SCENARIO_RECORDS ${CMAKE_BINARY_DIR}/scenarios)

# The records, and which harness runs which scenario, are made when
# configuring, so that CTest registers only what each can run; the rest, with
# the reasons, are listed in scenarios/excluded.txt. A changed scenario, the
# compiler or the header makes CMake configure again.
file(GLOB _scenario_files CONFIGURE_DEPENDS ${SCANFW_SCENARIO_DIR}/*.scn)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_scenario_files}
             ${SCANFW_SCNCC} ${CMAKE_CURRENT_LIST_DIR}/scenario_record.h)
execute_process(COMMAND ${Python3_EXECUTABLE} ${SCANFW_SCNCC} plan
                        ${SCANFW_SCENARIO_DIR} ${SCANFW_SCENARIO_RECORDS}
                RESULT_VARIABLE _plan_status)
if(NOT _plan_status EQUAL 0)
  message(FATAL_ERROR "the scenarios do not compile (see above)")
endif()
include(${SCANFW_SCENARIO_RECORDS}/plan.cmake)
foreach(_h FAKE WINE UMOCKDEV)
  list(LENGTH SCANFW_SCENARIOS_${_h} _n)
  string(APPEND _summary " ${_h} ${_n}")
endforeach()
message(STATUS "scenarios run by harness:${_summary}; the others in "
               "${SCANFW_SCENARIO_RECORDS}/excluded.txt")
# What needs the records depends on this; they are there already.
add_custom_target(scanfw_scenarios)

add_library(scanfw_model STATIC ${CMAKE_CURRENT_LIST_DIR}/scanner_model.c)
target_include_directories(scanfw_model PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(scanfw_model PRIVATE scanfw_warnings)

if(NOT WIN32)
  add_test(NAME scenarios.compiler
           COMMAND ${Python3_EXECUTABLE} ${SCANFW_SCNCC} selftest)
  add_test(NAME scenarios.readme
           COMMAND ${Python3_EXECUTABLE} ${SCANFW_SCNCC} readme
                   ${SCANFW_SCENARIO_DIR}/README.md)
  # The Wine suite's own checks of a run, which need no Wine.
  add_test(NAME e2e.checks
           COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/e2e/e2e_test.py --self-test)
  add_test(NAME e2e.verbose.checks
           COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/e2e/verbose_test.py --self-test)
  set_tests_properties(scenarios.compiler scenarios.readme e2e.checks e2e.verbose.checks
                       PROPERTIES LABELS unit)
endif()
