# The Linux platform layer reaches USB devices through libusb-1.0, found with
# pkg-config; the udev rule lets the logged-in user open the scanner.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
target_link_libraries(scanfw_platform_linux PUBLIC PkgConfig::LIBUSB)

# udev reads rules from /etc/udev/rules.d (the administrator's) and from
# /usr/lib/udev/rules.d (packages'); nothing under /usr/local is read, so the
# rule goes to an absolute directory whatever the install prefix.
set(SCANFW_UDEV_RULES_DIR "/etc/udev/rules.d" CACHE PATH
    "Where the install step puts the scanner's udev rule")
install(TARGETS scanfw RUNTIME DESTINATION bin)
install(FILES ${PROJECT_SOURCE_DIR}/platform/linux/70-scanfw.rules
        DESTINATION ${SCANFW_UDEV_RULES_DIR})
install(CODE "message(STATUS \"scanfw: reload udev rules with: udevadm control --reload-rules && udevadm trigger --subsystem-match=usb\")")
