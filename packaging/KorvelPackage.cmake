# The player's package: what the install component "launcher" holds (launcher/ and packaging/),
# made by `cpack -G DEB` in a build of the package preset. The release tools (component "tools")
# stay out of it.
set(KORVEL_APP_ID "com.korvel.launcher" CACHE STRING
  "Reverse-DNS identifier of the launcher: desktop entry, icon and AppStream names, macOS bundle identifier")
set(KORVEL_PACKAGE_MAINTAINER "Korvel launcher team <launcher@korvel.example>" CACHE STRING
  "Maintainer field of the Debian package: Name <address>")
set(KORVEL_PACKAGE_NAME korvel-launcher)

set(CPACK_PACKAGE_NAME ${KORVEL_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Korvel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "launcher that installs, updates and starts the Korvel online beta")
set(CPACK_PACKAGE_DESCRIPTION [[
The launcher shows one small window, fetches the manifest of the current
release of the Korvel online beta over HTTPS, installs that release into the
player's data directory if it is not there yet, and starts the game.

Every file is downloaded with a byte limit and without redirects, and checked
for size and SHA-256 digest; the whole release is verified, signature
included, before one rename puts it in place. When the update cannot be
fetched or is refused, the launcher starts the release an earlier run
installed, after verifying it again.]])
set(CPACK_COMPONENTS_ALL launcher)
set(CPACK_DEB_COMPONENT_INSTALL ON)  # only CPACK_COMPONENTS_ALL, in one package
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KORVEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)  # "games" is for programs in /usr/games
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://${KORVEL_WEB_HOST}/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # dependencies from the binaries, by dpkg-shlibdeps
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(NOT APPLE)
  set(CPACK_GENERATOR DEB)
endif()

if(PROJECT_IS_TOP_LEVEL)
  include(CPack)
endif()
