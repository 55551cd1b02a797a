# Tests of the embedded firmware image, the manifest and the version record,
# on the built executables themselves. Included from tests/CMakeLists.txt.

set(_res_dir ${CMAKE_CURRENT_LIST_DIR})

# A program linked like scanfw that reaches its own image and reports it.
add_executable(scanfw_image_probe ${_res_dir}/image_probe.cpp)
target_link_libraries(scanfw_image_probe PRIVATE scanfw_core scanfw_model)

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(SCANFW_PE_MACHINE x86-64)
  else()
    set(SCANFW_PE_MACHINE i386)
  endif()
  target_link_libraries(scanfw_image_probe PRIVATE scanfw_resources)
  # The same program without any resources, where the lookup must fail, and
  # with an image resource of zero bytes.
  set(_empty ${CMAKE_CURRENT_BINARY_DIR}/resources/empty-image.bin)
  set(_empty_rc ${CMAKE_CURRENT_BINARY_DIR}/resources/empty_image.rc)
  # Written only when missing or changed, so reconfiguring rebuilds nothing.
  if(NOT EXISTS ${_empty})
    file(WRITE ${_empty} "")
  endif()
  string(REPLACE "\\" "\\\\" _empty_quoted "${_empty}")
  file(CONFIGURE OUTPUT ${_empty_rc}
       CONTENT "LANGUAGE 0x04, 0x01\n119 BINARY \"${_empty_quoted}\"\n")
  add_library(scanfw_empty_image_resources OBJECT ${_empty_rc})
  set_property(TARGET scanfw_empty_image_resources PROPERTY COMPILE_OPTIONS "")
  foreach(_probe bare empty)
    add_executable(scanfw_image_probe_${_probe} ${_res_dir}/image_probe.cpp)
    target_link_libraries(scanfw_image_probe_${_probe} PRIVATE scanfw_core scanfw_model)
  endforeach()
  target_link_libraries(scanfw_image_probe_empty PRIVATE scanfw_empty_image_resources)
  foreach(_probe scanfw_image_probe scanfw_image_probe_bare scanfw_image_probe_empty)
    target_link_libraries(${_probe} PRIVATE kernel32)
    target_link_options(${_probe} PRIVATE -static)
  endforeach()

  add_test(NAME resources.pe
           COMMAND ${Python3_EXECUTABLE} ${_res_dir}/inspect_pe.py
                   --exe $<TARGET_FILE:scanfw> --image ${SCANFW_IMAGE_FILE}
                   --machine ${SCANFW_PE_MACHINE})
  set_tests_properties(resources.pe PROPERTIES LABELS resources TIMEOUT 120)

  add_test(NAME resources.wine
           COMMAND ${Python3_EXECUTABLE} ${_res_dir}/check_probe.py
                   --wine --prefix ${CMAKE_BINARY_DIR}/wineprefix-resources
                   --image ${SCANFW_IMAGE_FILE}
                   --probe $<TARGET_FILE:scanfw_image_probe>
                   --bare-probe $<TARGET_FILE:scanfw_image_probe_bare>
                   --empty-probe $<TARGET_FILE:scanfw_image_probe_empty>)
  set_tests_properties(resources.wine PROPERTIES LABELS "resources;wine"
                       TIMEOUT 600)
  scanfw_wine_test(resources.wine)
else()
  # It carries the image as scanfw does; the fake-platform tests and the
  # USB probe, which are no such program, must not.
  target_link_libraries(scanfw_image_probe PRIVATE scanfw_platform_linux)
  scanfw_attach_image(scanfw_image_probe)

  add_test(NAME resources.linux_in_place
           COMMAND ${Python3_EXECUTABLE} ${_res_dir}/check_probe.py
                   --image ${SCANFW_IMAGE_FILE}
                   --probe $<TARGET_FILE:scanfw_image_probe>)

  # The Linux layer's lookup rules, against the real carrier.
  add_executable(scanfw_linux_carrier_test ${_res_dir}/linux_carrier_test.cpp)
  target_link_libraries(scanfw_linux_carrier_test PRIVATE scanfw_core
                        scanfw_platform_linux GTest::gtest GTest::gtest_main)
  scanfw_attach_image(scanfw_linux_carrier_test)
  add_test(NAME resources.linux_carrier COMMAND scanfw_linux_carrier_test)

  set(_not_carriers --not-carrier $<TARGET_FILE:scanfw_usb_names_tests>)
  if(TARGET scanfw_tests)
    list(APPEND _not_carriers --not-carrier $<TARGET_FILE:scanfw_tests>)
  endif()
  add_test(NAME resources.elf
           COMMAND ${Python3_EXECUTABLE} ${_res_dir}/inspect_elf.py
                   --image ${SCANFW_IMAGE_FILE}
                   --carrier $<TARGET_FILE:scanfw>
                   --carrier $<TARGET_FILE:scanfw_image_probe>
                   ${_not_carriers})
  set_tests_properties(resources.linux_in_place resources.linux_carrier
                       PROPERTIES LABELS resources TIMEOUT 120)
  # The build of the tests on the fake checks that they carry no image
  # either, among those tests.
  if(TARGET scanfw_tests AND SCANFW_SANITIZE)
    set_tests_properties(resources.elf PROPERTIES LABELS unit TIMEOUT 120)
  else()
    set_tests_properties(resources.elf PROPERTIES LABELS resources TIMEOUT 120)
  endif()

  # Configuring with a given image: an empty or missing file is refused, a
  # real one is embedded byte for byte. A separate build tree, so slow;
  # once per machine is enough, in the plain Linux build.
  if(NOT SCANFW_SANITIZE)
    add_test(NAME resources.configure
             COMMAND ${Python3_EXECUTABLE} ${_res_dir}/check_configure.py
                     --source ${PROJECT_SOURCE_DIR}
                     --work ${CMAKE_CURRENT_BINARY_DIR}/resources/configure
                     --cmake ${CMAKE_COMMAND}
                     --check-probe ${_res_dir}/check_probe.py)
    # It builds (at a lower priority): started first, so that it is done
    # before the runs that keep real time most closely, the split-URB ones.
    set_tests_properties(resources.configure PROPERTIES LABELS resources
                         TIMEOUT 900 COST 1000)
  endif()
endif()
