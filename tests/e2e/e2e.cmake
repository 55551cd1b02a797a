# The shipped scanfw.exe end to end under Wine, against a simulated scanner
# driver and a stand-in still-image service (label e2e). Windows builds only:
# the driver and the helpers are built with the same cross compiler.
if(WIN32)
  find_path(SCANFW_DDK_INCLUDE_DIR ntddk.h PATH_SUFFIXES ddk include/ddk
            DOC "mingw-w64's kernel-mode (DDK) headers")
  if(NOT SCANFW_DDK_INCLUDE_DIR)
    message(FATAL_ERROR "mingw-w64's DDK headers (ddk/ntddk.h) were not found")
  endif()

  # The simulated scanner, a kernel driver: no C library, native subsystem.
  set(_e2e_driver ${CMAKE_CURRENT_BINARY_DIR}/scanfwsim.sys)
  # stdcall names carry their argument size on i386 only.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_e2e_driver_entry DriverEntry)
  else()
    set(_e2e_driver_entry _DriverEntry@8)
  endif()
  set(_e2e_driver_sources ${CMAKE_CURRENT_LIST_DIR}/sim_scanner.c
                          ${PROJECT_SOURCE_DIR}/tests/sim/scanner_model.c)
  add_custom_command(
    OUTPUT ${_e2e_driver}
    COMMAND ${CMAKE_C_COMPILER} -Wall -Wextra -Werror -O2 -ffreestanding -nostdlib
            -shared -I${SCANFW_DDK_INCLUDE_DIR} -I${PROJECT_SOURCE_DIR}
            -Wl,--subsystem,native -Wl,--entry,${_e2e_driver_entry}
            -o ${_e2e_driver} ${_e2e_driver_sources} -lntoskrnl -lhal -lgcc
    DEPENDS ${_e2e_driver_sources} ${PROJECT_SOURCE_DIR}/tests/sim/scanner_model.h
            ${PROJECT_SOURCE_DIR}/tests/sim/scenario_record.h
    COMMENT "Building the simulated scanner driver scanfwsim.sys"
    VERBATIM)
  add_custom_target(scanfw_e2e_driver ALL DEPENDS ${_e2e_driver})

  foreach(_helper e2ectl stisvc_standin)
    add_executable(scanfw_e2e_${_helper} ${CMAKE_CURRENT_LIST_DIR}/${_helper}.c)
    set_target_properties(scanfw_e2e_${_helper} PROPERTIES OUTPUT_NAME ${_helper})
    target_link_options(scanfw_e2e_${_helper} PRIVATE -static)
    target_link_libraries(scanfw_e2e_${_helper} PRIVATE advapi32 scanfw_warnings)
  endforeach()
  target_link_libraries(scanfw_e2e_e2ectl PRIVATE scanfw_model)
  add_dependencies(scanfw_e2e_driver scanfw_scenarios)

  # A build told its image's release has no second executable: the runs
  # that compare releases then use the one there is.
  if(TARGET scanfw_r0102)
    set(_e2e_r0102 $<TARGET_FILE:scanfw_r0102>)
  else()
    set(_e2e_r0102 $<TARGET_FILE:scanfw>)
  endif()
  add_test(NAME e2e.wine
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/e2e_test.py
                   --exe $<TARGET_FILE:scanfw>
                   --exe-r0102 ${_e2e_r0102}
                   --driver ${_e2e_driver}
                   --ctl $<TARGET_FILE:scanfw_e2e_e2ectl>
                   --standin $<TARGET_FILE:scanfw_e2e_stisvc_standin>
                   --prefix ${CMAKE_BINARY_DIR}/wineprefix-e2e
                   --scenarios ${SCANFW_SCENARIO_DIR}
                   --records ${SCANFW_SCENARIO_RECORDS}
                   --image "${SCANFW_IMAGE_FILE}")
  # Its runs overlap on several prefixes and mostly wait for the scanner:
  # started first, beside the rest.
  set_tests_properties(e2e.wine PROPERTIES LABELS e2e TIMEOUT 600 COST 1000)
  scanfw_wine_test(e2e.wine)

  # --verbose end to end: one success and two failures, in a prefix of its own.
  add_test(NAME e2e.wine.verbose
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/verbose_test.py
                   --exe $<TARGET_FILE:scanfw>
                   --driver ${_e2e_driver}
                   --ctl $<TARGET_FILE:scanfw_e2e_e2ectl>
                   --standin $<TARGET_FILE:scanfw_e2e_stisvc_standin>
                   --prefix ${CMAKE_BINARY_DIR}/wineprefix-e2e-verbose
                   --scenarios ${SCANFW_SCENARIO_DIR}
                   --records ${SCANFW_SCENARIO_RECORDS}
                   --image "${SCANFW_IMAGE_FILE}")
  set_tests_properties(e2e.wine.verbose PROPERTIES LABELS e2e TIMEOUT 600)
  scanfw_wine_test(e2e.wine.verbose)
endif()
