# The Debian package, made by CPack from the install rules (scripts/package.sh):
# sonvale_<version>_<arch>.deb with the shared-library dependencies computed by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sonvale)
set(CPACK_PACKAGE_VENDOR Sonvale)
set(CPACK_PACKAGE_CONTACT "Sonvale maintainers <maintainers@sonvale.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A package links against the libraries of the release it was built on, so each release gets its own
# version: 1.0.0~deb12 on Debian 12, 1.0.0~deb13 on Debian 13 (the program itself says 1.0.0). The
# suffix sorts below the bare version and the newer release's build above the older one's, so an
# upgrade of the system to the next release also upgrades the package.
file(STRINGS /etc/os-release SONVALE_OS_VERSION REGEX "^VERSION_ID=")
string(REGEX REPLACE "^VERSION_ID=\"?([0-9]+).*" "\\1" SONVALE_OS_VERSION "${SONVALE_OS_VERSION}")
if(SONVALE_OS_VERSION)
    set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}~deb${SONVALE_OS_VERSION}")
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_PACKAGE_DESCRIPTION "Sonvale lives in the system tray and forwards the whole system audio mix to a
HomePod or another AirPlay receiver, giving the computer's own output back
when it stops. The interface is in Simplified Chinese.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What the libraries do not say: the worker's interpreter and modules, paplay for the test
# sound, setcap for the clock helper, and Qt's display plugins, which are loaded, not linked.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "python3 (>= 3.11), python3-zeroconf, python3-cryptography, pulseaudio-utils, libcap2-bin, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-pulse | pulseaudio, fonts-noto-cjk, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/postinst" "${PROJECT_SOURCE_DIR}/packaging/prerm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
