# The sleep and shutdown inhibitor is asked of systemd-logind over D-Bus with
# libsystemd's sd-bus, found with pkg-config.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBSYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
target_link_libraries(scanfw_platform_linux PUBLIC PkgConfig::LIBSYSTEMD)
