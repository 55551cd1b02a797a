# What a person sees on a terminal (tmux): the program's screens in Chinese
# and English; under Wine also after a change of the console's code page,
# the update against the simulated scanner, and the start through an
# Explorer stand-in (label screen).
if(WIN32)
  add_executable(scanfw_explorer_standin ${CMAKE_CURRENT_LIST_DIR}/explorer_standin.c)
  # The image name is what makes it Explorer to the program.
  set_target_properties(scanfw_explorer_standin PROPERTIES OUTPUT_NAME explorer
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/standin)
  target_link_options(scanfw_explorer_standin PRIVATE -static)
  target_link_libraries(scanfw_explorer_standin PRIVATE scanfw_warnings)
  add_test(NAME screen.wine
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/screen_test.py
                   --exe $<TARGET_FILE:scanfw>
                   --scenarios ${SCANFW_SCENARIO_DIR}
                   --records ${SCANFW_SCENARIO_RECORDS}
                   --prefix ${CMAKE_BINARY_DIR}/wineprefix-screen
                   --explorer $<TARGET_FILE:scanfw_explorer_standin>
                   --driver ${CMAKE_CURRENT_BINARY_DIR}/scanfwsim.sys
                   --ctl $<TARGET_FILE:scanfw_e2e_e2ectl>
                   --standin $<TARGET_FILE:scanfw_e2e_stisvc_standin>
                   --image "${SCANFW_IMAGE_FILE}")
  set_tests_properties(screen.wine PROPERTIES LABELS "screen;wine" TIMEOUT 600)
  scanfw_wine_test(screen.wine)
else()
  add_test(NAME screen.linux
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/screen_test.py
                   --exe $<TARGET_FILE:scanfw> --scenarios ${SCANFW_SCENARIO_DIR})
  set_tests_properties(screen.linux PROPERTIES LABELS screen TIMEOUT 60)
endif()
