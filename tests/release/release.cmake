# The release artefacts (label release).
#
# release.rebuild: the preset's program built again from elsewhere must be
# the same bytes; in the plain presets (the sanitizer build is no product).
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_release_preset windows-x64)
elseif(WIN32)
  set(_release_preset windows)
elseif(NOT SCANFW_SANITIZE AND CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo")
  set(_release_preset linux)
endif()
if(_release_preset)
  add_test(NAME release.rebuild
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/release_test.py rebuild
                   --source ${PROJECT_SOURCE_DIR}
                   --preset ${_release_preset}
                   --exe $<TARGET_FILE:scanfw>
                   --cmake ${CMAKE_COMMAND}
                   --build-type ${CMAKE_BUILD_TYPE}
                   "--image=${SCANFW_FIRMWARE_IMAGE}"
                   --work ${CMAKE_BINARY_DIR}/release-rebuild)
  # Started first, as resources.configure, which also builds.
  set_tests_properties(release.rebuild PROPERTIES LABELS release TIMEOUT 300
                       COST 1000)
endif()

# release.script: scripts/release.sh end to end, in the Windows build, whose
# Wine helpers it reuses; the script builds the package's Linux program
# itself.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The 64-bit program of the release runs against the windows-x64 preset's
  # simulated scanner.
  set(SCANFW_X64_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/windows-x64 CACHE PATH
      "the windows-x64 preset's build folder, for the release test's 64-bit run")
  add_test(NAME release.script
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/release_test.py script
                   --source ${PROJECT_SOURCE_DIR}
                   --work ${CMAKE_BINARY_DIR}/release-script
                   --build ${CMAKE_BINARY_DIR}
                   --x64-build ${SCANFW_X64_BUILD_DIR}
                   --prefix ${CMAKE_BINARY_DIR}/wineprefix-release)
  # The longest of its preset (five releases, two of them built from
  # scratch): started first.
  set_tests_properties(release.script PROPERTIES LABELS release TIMEOUT 900 COST 2000)
  scanfw_wine_test(release.script)
endif()
