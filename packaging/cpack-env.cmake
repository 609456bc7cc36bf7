# Read by cpack: dpkg-shlibdeps reads the programs as the target's
# architecture, whatever machine packs them.
set(ENV{DEB_HOST_ARCH} "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
