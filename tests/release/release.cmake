# The release artefacts (label release). In the Windows build, whose
# scanfw.exe and Wine helpers the checks reuse; scripts/release.sh builds
# the Linux program for the package itself.
if(WIN32)
  add_test(NAME release.rebuild
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/release_test.py rebuild
                   --source ${PROJECT_SOURCE_DIR}
                   --exe $<TARGET_FILE:scanfw>
                   --cmake ${CMAKE_COMMAND}
                   --work ${CMAKE_BINARY_DIR}/release-rebuild)
  set_tests_properties(release.rebuild PROPERTIES LABELS release TIMEOUT 300)

  add_test(NAME release.script
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/release_test.py script
                   --source ${PROJECT_SOURCE_DIR}
                   --work ${CMAKE_BINARY_DIR}/release-script
                   --driver ${CMAKE_BINARY_DIR}/tests/scanfwsim.sys
                   --ctl $<TARGET_FILE:scanfw_e2e_e2ectl>
                   --standin $<TARGET_FILE:scanfw_e2e_stisvc_standin>
                   --client $<TARGET_FILE:scanfw_e2e_sim_client>
                   --prefix ${CMAKE_BINARY_DIR}/wineprefix-release)
  set_tests_properties(release.script PROPERTIES LABELS release TIMEOUT 600)
endif()
