# The Debian package, made by CPack from the install rules (docs/install.md):
#   cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DQZ_BUILD_TESTS=OFF \
#         -DCMAKE_INSTALL_PREFIX=/usr
#   cmake --build build/package --target package
# gives build/package/orvane_<version>-<release>_<arch>.deb. The dependencies come from
# dpkg-shlibdeps; the maintainer scripts are those cmake/Install.cmake makes from packaging/.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "qzConsole for Linux developers <qzconsole@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "distributed build console, local agent service and build runner")
set(CPACK_PACKAGE_DESCRIPTION
    "qzConsole runs a job (a command line or a job file) as a build through the\n\
local agent service and ends with the build's result. It also manages the\n\
agent and cleans the local build cache. The package holds the console, the\n\
agent service qzagentd with its systemd unit, the build runner Tasksmith, the\n\
tools qzdump and qzreg, and their manual pages.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, passwd, init-system-helpers (>= 1.54~), redis-server")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/deb/conffiles "${QZ_AGENT_ENVIRONMENT_FILE}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/deb/postinst ${CMAKE_BINARY_DIR}/packaging/deb/prerm
    ${CMAKE_BINARY_DIR}/packaging/deb/postrm ${CMAKE_BINARY_DIR}/packaging/deb/conffiles)
include(CPack)
