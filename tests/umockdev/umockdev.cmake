# The real Linux executable against an emulated USB scanner: umockdev
# stands in for sysfs and the usbfs device nodes that libusb uses, and a
# small driver answers the usbfs requests as the scanner would.

# The backend's pure rules and the shipped udev rule, without any testbed.
add_executable(scanfw_usb_names_tests ${CMAKE_CURRENT_LIST_DIR}/usb_names_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/bulk_plan_test.cpp)
target_link_libraries(scanfw_usb_names_tests PRIVATE scanfw_platform_linux
                      scanfw_warnings GTest::gtest GTest::gtest_main)
target_compile_definitions(scanfw_usb_names_tests PRIVATE
  SCANFW_UDEV_RULE="${PROJECT_SOURCE_DIR}/platform/linux/70-scanfw.rules")
gtest_discover_tests(scanfw_usb_names_tests DISCOVERY_TIMEOUT 60
                     PROPERTIES LABELS unit)

find_package(PkgConfig REQUIRED)
pkg_check_modules(UMOCKDEV IMPORTED_TARGET umockdev-1.0 gio-2.0)
find_library(SCANFW_UMOCKDEV_PRELOAD
             NAMES libumockdev-preload.so.0 libumockdev-preload.so)
if(NOT UMOCKDEV_FOUND OR NOT SCANFW_UMOCKDEV_PRELOAD)
  message(STATUS "umockdev not found: the umockdev tests are left out")
  return()
endif()

# The scanner model is compiled in, not linked: the testbed is test
# machinery, not under test, and stays uninstrumented even in the sanitizer
# build, which runs scanfw itself instrumented.
add_executable(scanfw_usb_testbed ${CMAKE_CURRENT_LIST_DIR}/scanner_testbed.c
               ${PROJECT_SOURCE_DIR}/tests/sim/scanner_model.c)
target_include_directories(scanfw_usb_testbed PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(scanfw_usb_testbed PRIVATE PkgConfig::UMOCKDEV scanfw_warnings)
target_compile_options(scanfw_usb_testbed PRIVATE -fno-sanitize=all)
target_link_options(scanfw_usb_testbed PRIVATE -fno-sanitize=all)
add_dependencies(scanfw_usb_testbed scanfw_scenarios)

# umockdev.NAME: the testbed plays SCENARIO and compares the output with its
# .out; SCANFW_UMOCKDEV_RUNNER, when set, runs the testbed.
function(scanfw_umockdev_test name scenario)
  add_test(NAME umockdev.${name}
           COMMAND ${SCANFW_UMOCKDEV_RUNNER} $<TARGET_FILE:scanfw_usb_testbed>
                   --exe $<TARGET_FILE:scanfw> --preload ${SCANFW_UMOCKDEV_PRELOAD}
                   --record ${SCANFW_SCENARIO_RECORDS}/${scenario}.rec
                   --expected ${SCANFW_SCENARIO_DIR}/${scenario}.out
                   --image ${SCANFW_IMAGE_FILE} ${ARGN})
  set_tests_properties(umockdev.${name} PROPERTIES
                       LABELS umockdev SKIP_RETURN_CODE 77 TIMEOUT 180)
endfunction()

# The scenarios the compiler found a real device can be made to play.
foreach(_name ${SCANFW_SCENARIOS_UMOCKDEV})
  scanfw_umockdev_test(${_name} ${_name})
endforeach()

# The image as libusb sends it when the controller cannot take it whole:
# every transfer cut into 16 KiB URBs.
foreach(_name success_en success_zh usbfs_limit_1mib usbfs_limit_below_16k
              data_write_stall_mid_stream data_write_gone_mid_stream)
  scanfw_umockdev_test(${_name}_split_urbs ${_name} --split-urbs)
  # Each keeps a core busy and bounds the run's time: in a parallel run
  # (ctest -j), it counts for three of the slots, so few run beside it.
  set_tests_properties(umockdev.${_name}_split_urbs PROPERTIES PROCESSORS 3)
endforeach()

# scanfw --verbose: the same standard output, and the log read line by line
# for the facts in verbose/NAME.facts.
foreach(_name success_en data_write_gone_mid_stream readiness_exchange_fails
              usbfs_limit_1mib)
  scanfw_umockdev_test(verbose.${_name} ${_name} --verbose-facts
                       ${CMAKE_CURRENT_LIST_DIR}/verbose/${_name}.facts)
endforeach()
# A fact the log does not hold must fail the run.
scanfw_umockdev_test(verbose.catches_a_missing_fact readiness_exchange_fails
                     --verbose-facts ${CMAKE_CURRENT_LIST_DIR}/verbose/wrong.facts)
set_tests_properties(umockdev.verbose.catches_a_missing_fact PROPERTIES WILL_FAIL TRUE)

# The platform layer's device calls on their own, against the same testbed;
# the probe's output is checked instead of the scenario's.
add_executable(scanfw_usb_probe ${CMAKE_CURRENT_LIST_DIR}/usb_probe.cpp)
target_link_libraries(scanfw_usb_probe PRIVATE scanfw_platform_linux scanfw_warnings)
scanfw_umockdev_test(platform_calls other_device_first
                     --probe $<TARGET_FILE:scanfw_usb_probe>)

# The sleep and shutdown inhibitor, held from the download command to the
# verdict, against logind as python3-dbusmock mocks it on a private bus.
set(SCANFW_UMOCKDEV_RUNNER ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/logind_test.py)
scanfw_umockdev_test(logind_inhibitor success_en)
set_tests_properties(umockdev.logind_inhibitor PROPERTIES TIMEOUT 120)
# The same with --verbose: the inhibitor taken and released, or why not.
scanfw_umockdev_test(verbose.logind success_en --verbose-facts
                     ${CMAKE_CURRENT_LIST_DIR}/verbose/logind.facts)
set_tests_properties(umockdev.verbose.logind PROPERTIES TIMEOUT 120)
