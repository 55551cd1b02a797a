# The real Linux executable against an emulated USB scanner: umockdev
# stands in for sysfs and the usbfs device nodes that libusb uses, and a
# small driver answers the usbfs requests as the scanner would.

# The backend's pure rules and the shipped udev rule, without any testbed.
add_executable(scanfw_usb_names_tests ${CMAKE_CURRENT_LIST_DIR}/usb_names_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/bulk_plan_test.cpp)
target_link_libraries(scanfw_usb_names_tests PRIVATE scanfw_platform_linux
                      scanfw_core GTest::gtest GTest::gtest_main)
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

add_executable(scanfw_usb_testbed ${CMAKE_CURRENT_LIST_DIR}/scanner_testbed.c)
target_link_libraries(scanfw_usb_testbed PRIVATE PkgConfig::UMOCKDEV)
# The driver is test machinery, not under test: it stays uninstrumented
# even in the sanitizer build, which runs scanfw itself instrumented.
target_compile_options(scanfw_usb_testbed PRIVATE -fno-sanitize=all)
target_link_options(scanfw_usb_testbed PRIVATE -fno-sanitize=all)

# The scanner checks that the bytes it received are the embedded image.
set(SCANFW_UMOCKDEV_IMAGE_ARGS)
if(SCANFW_IMAGE_FILE)
  set(SCANFW_UMOCKDEV_IMAGE_ARGS --image ${SCANFW_IMAGE_FILE})
endif()

function(scanfw_umockdev_test name scenario)
  add_test(NAME umockdev.${name}
           COMMAND scanfw_usb_testbed --exe $<TARGET_FILE:scanfw>
                   --preload ${SCANFW_UMOCKDEV_PRELOAD} --scenario ${scenario}
                   ${SCANFW_UMOCKDEV_IMAGE_ARGS} ${ARGN})
  set_tests_properties(umockdev.${name} PROPERTIES
                       LABELS umockdev SKIP_RETURN_CODE 77 TIMEOUT 180)
endfunction()

# Every shared scenario; the driver skips those that only the fake can make.
file(GLOB SCANFW_SCENARIOS CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_LIST_DIR}/../scenarios/*.scn)
foreach(scenario ${SCANFW_SCENARIOS})
  get_filename_component(name ${scenario} NAME_WE)
  scanfw_umockdev_test(${name} ${scenario})
endforeach()

# Faults of a real device that the shared scenarios do not describe: a
# device that stops answering, caught by the transfer time bound.
file(GLOB SCANFW_USB_SCENARIOS CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_LIST_DIR}/scenarios/*.scn)
foreach(scenario ${SCANFW_USB_SCENARIOS})
  get_filename_component(name ${scenario} NAME_WE)
  scanfw_umockdev_test(${name} ${scenario})
endforeach()

# The image as libusb sends it when the controller cannot take it whole:
# every transfer cut into 16 KiB URBs.
foreach(scenario success_en success_zh)
  scanfw_umockdev_test(${scenario}_split_urbs
                       ${CMAKE_CURRENT_LIST_DIR}/../scenarios/${scenario}.scn
                       --split-urbs)
endforeach()
foreach(scenario usbfs_limit_1mib usbfs_limit_below_16k
                 data_write_stall_mid_stream data_write_gone_mid_stream)
  scanfw_umockdev_test(${scenario}_split_urbs
                       ${CMAKE_CURRENT_LIST_DIR}/scenarios/${scenario}.scn
                       --split-urbs)
endforeach()

# The platform layer's device calls on their own, against the same testbed.
add_executable(scanfw_usb_probe ${CMAKE_CURRENT_LIST_DIR}/usb_probe.cpp)
target_link_libraries(scanfw_usb_probe PRIVATE scanfw_platform_linux)
add_test(NAME umockdev.platform_calls
         COMMAND scanfw_usb_testbed --exe $<TARGET_FILE:scanfw>
                 --preload ${SCANFW_UMOCKDEV_PRELOAD}
                 --scenario ${CMAKE_CURRENT_LIST_DIR}/../scenarios/other_device_first.scn
                 --probe $<TARGET_FILE:scanfw_usb_probe>)
set_tests_properties(umockdev.platform_calls PROPERTIES
                     LABELS umockdev SKIP_RETURN_CODE 77 TIMEOUT 60)

# The sleep and shutdown inhibitor, held from the download command to the
# verdict, against logind as python3-dbusmock mocks it on a private bus.
add_test(NAME umockdev.logind_inhibitor
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/logind_test.py
                 $<TARGET_FILE:scanfw_usb_testbed> --exe $<TARGET_FILE:scanfw>
                 --preload ${SCANFW_UMOCKDEV_PRELOAD}
                 --scenario ${CMAKE_CURRENT_LIST_DIR}/../scenarios/success_en.scn
                 ${SCANFW_UMOCKDEV_IMAGE_ARGS})
set_tests_properties(umockdev.logind_inhibitor PROPERTIES
                     LABELS umockdev SKIP_RETURN_CODE 77 TIMEOUT 120)
