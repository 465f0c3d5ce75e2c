# The Debian package, made by CPack from the install rules (scripts/package.sh):
# sonvale_<version>_<arch>.deb with the shared-library dependencies computed by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sonvale)
set(CPACK_PACKAGE_VENDOR Sonvale)
set(CPACK_PACKAGE_CONTACT "Sonvale maintainers <maintainers@sonvale.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
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
