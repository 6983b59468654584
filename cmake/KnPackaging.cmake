# The Debian package "kestrane-agent", made by CPack from this build's own install rules:
#
#   cmake --build build --target package        # everything, then build/kestrane-agent_<version>_<arch>.deb
#   cpack --config build/CPackConfig.cmake -B build/package   # after building just the programs
#
# CPack rather than a debian/ folder: it packages the tree that the preset build already made (no second
# build of the whole project), takes the version from project() and reaches dpkg-shlibdeps for the
# dependencies through CPACK_DEBIAN_PACKAGE_SHLIBDEPS.
#
# Layout:
#   /opt/kestrane/                  auditagent, svcupdater, kn-apikey: the updater watches the
#                                   applications in its own folder, and the agent's files live beside it
#   /opt/kestrane/logs              -> /var/log/kestrane ("logs beside the executable")
#   /opt/kestrane/svcupdaterconfig  -> /etc/kestrane/svcupdaterconfig (a conffile)
#   /etc/logrotate.d/kestrane-agent trims the daily log files
#   /usr/lib/kestrane-agent/        the maintainer scripts' systemctl stand-in for machines without systemd
# The systemd units are not shipped: the postinst writes them with the programs' own install switches.

set(KN_PKG_NAME kestrane-agent)
set(KN_PKG_DIR opt/kestrane)
set(KN_PKG_SRC ${PROJECT_SOURCE_DIR}/packaging)
set(KN_PKG_STAGE ${PROJECT_BINARY_DIR}/packaging)

# Every folder the package makes is 0755, whatever the umask of whoever builds it.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(KN_PKG_PROGRAMS auditagent svcupdater)
if(TARGET kn-apikey)
  list(APPEND KN_PKG_PROGRAMS kn-apikey)
endif()
install(TARGETS ${KN_PKG_PROGRAMS} RUNTIME DESTINATION ${KN_PKG_DIR})

# The two links, made here so that install() copies them as links.
file(MAKE_DIRECTORY ${KN_PKG_STAGE}/links)
file(CREATE_LINK /var/log/kestrane ${KN_PKG_STAGE}/links/logs SYMBOLIC)
file(CREATE_LINK /etc/kestrane/svcupdaterconfig ${KN_PKG_STAGE}/links/svcupdaterconfig SYMBOLIC)
install(FILES ${KN_PKG_STAGE}/links/logs ${KN_PKG_STAGE}/links/svcupdaterconfig DESTINATION ${KN_PKG_DIR})

install(FILES ${KN_PKG_SRC}/svcupdaterconfig DESTINATION etc/kestrane)
install(FILES ${KN_PKG_SRC}/kestrane-agent.logrotate DESTINATION etc/logrotate.d RENAME ${KN_PKG_NAME})
install(PROGRAMS ${KN_PKG_SRC}/systemctl-offline DESTINATION usr/lib/${KN_PKG_NAME})
install(FILES ${KN_PKG_SRC}/lintian-overrides DESTINATION usr/share/lintian/overrides RENAME ${KN_PKG_NAME})

# Documentation that every Debian package carries: copyright and a compressed changelog (no time stamp
# in the gzip header, so the package builds the same twice).
configure_file(${KN_PKG_SRC}/changelog.in ${KN_PKG_STAGE}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${KN_PKG_STAGE}/changelog COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${KN_PKG_SRC}/copyright ${KN_PKG_STAGE}/changelog.gz DESTINATION usr/share/doc/${KN_PKG_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KN_PKG_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)  # the debug information stays in the build tree
set(CPACK_PACKAGE_CONTACT "Kestrane maintainers <maintainers@kestrane.example>" CACHE STRING
    "Maintainer of the Debian package")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS logrotate)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "asset-management audit agent and service updater
auditagent identifies the machine, checks in with the asset-management
platform, sends a short status record every 15 minutes and uploads a full
inventory of the machine every 12 hours. svcupdater keeps the agent up to
date from the update server. Both run as systemd services from /opt/kestrane.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${KN_PKG_SRC}/postinst ${KN_PKG_SRC}/prerm ${KN_PKG_SRC}/postrm ${KN_PKG_SRC}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
