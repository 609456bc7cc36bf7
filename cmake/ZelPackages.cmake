# Debian packages of what the board runs, one per component, from the
# install rules: `cpack -G DEB` in a build tree (the armhf cross build for
# the board, or a native one). Maintainer scripts and the copyright file
# come from packaging/debian/.
set(ZEL_PACKAGE_COMPONENTS service console tools)
if(ZEL_KERNEL_MODULES)
  list(APPEND ZEL_PACKAGE_COMPONENTS modules)
endif()

set(zel_debian ${PROJECT_SOURCE_DIR}/packaging/debian)
set(ZEL_PACKAGE_service vyrna-security-manager)
set(ZEL_PACKAGE_console vyrna-security-tester)
set(ZEL_PACKAGE_tools zel-board-tools)
set(ZEL_PACKAGE_modules zel-board-modules)

# Debian wants the upstream changelog compressed with its build time
# removed, so that two builds of one version give one file.
set(zel_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
execute_process(COMMAND gzip -9 -n -c ${zel_debian}/changelog
                OUTPUT_FILE ${zel_changelog} COMMAND_ERROR_IS_FATAL ANY)
foreach(component IN LISTS ZEL_PACKAGE_COMPONENTS)
  set(package ${ZEL_PACKAGE_${component}})
  string(TOUPPER ${component} upper)
  install(FILES ${zel_debian}/copyright ${zel_changelog}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${upper}_FILE_NAME DEB-DEFAULT)
  set(extra "")
  # Maintainer scripts under the names dpkg knows (the modules' scripts are
  # made for their kernel release; their postrm is the postinst's twin).
  # Warnings that do not apply to an in-house package are overridden.
  set(control ${CMAKE_BINARY_DIR}/packaging/${package})
  foreach(script postinst prerm postrm)
    set(source ${zel_debian}/${package}.${script})
    if(component STREQUAL "modules" AND NOT script STREQUAL "prerm")
      set(source ${zel_debian}/${package}.postinst.in)
    endif()
    if(EXISTS ${source})
      configure_file(${source} ${control}/${script} @ONLY
                     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                      GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
      list(APPEND extra ${control}/${script})
    endif()
  endforeach()
  install(FILES ${zel_debian}/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package}
          COMPONENT ${component})
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA ${extra})
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endforeach()

set(CPACK_COMPONENTS_ALL ${ZEL_PACKAGE_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_CONTACT "Board platform maintainers <maintainers@zel.example>")
set(CPACK_PACKAGE_VENDOR "ZEL")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The packages' architecture is the build's target (armhf in the cross
# build). Library dependencies come from dpkg-shlibdeps, which reads the
# programs with the target's tools when DEB_HOST_ARCH names it
# (packaging/cpack-env.cmake sets it while cpack runs).
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(zel_arch_query dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH)
else()
  set(zel_arch_query dpkg --print-architecture)
endif()
execute_process(COMMAND ${zel_arch_query} OUTPUT_VARIABLE ZEL_DEB_ARCH
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZEL_DEB_ARCH})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack-env.cmake)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# In a sysroot build the libraries are found in the sysroot, and their
# packages' symbols and shlibs files in its DEBIAN folder
# (board/armhf/sysroot), which dpkg-shlibdeps reads for files that no
# installed package owns.
if(CMAKE_SYSROOT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
      ${CMAKE_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE}
      ${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)

set(CPACK_COMPONENT_SERVICE_DESCRIPTION
    "Security service of the board\n"
    " A system-bus daemon that keeps small secrets for the board's processes,\n"
    " encrypted under per-user keys held by the crypto device, with its\n"
    " systemd unit, D-Bus policy and the udev rule of /dev/vcrypto.")
set(CPACK_COMPONENT_CONSOLE_DESCRIPTION
    "Security console of the board\n"
    " An interactive console that stores, retrieves and clears secrets through\n"
    " the board's security service.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "Board tools: EEPROM reader, EEPROM CRC tool, switch setup, watchdog status\n"
    " zel-eeprom prints the board's identity EEPROM, eeprom-crc checks and\n"
    " migrates it, portcfg resets and configures the Ethernet switch and\n"
    " wdog-status prints the watchdog reset status register.")
set(CPACK_COMPONENT_MODULES_DESCRIPTION
    "Kernel modules of the board for Linux ${ZEL_KERNEL_RELEASE}\n"
    " vcrypto, the crypto device /dev/vcrypto on the CAAM, and tarn, the\n"
    " two-wire line disciplines; both are loaded at boot.")
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "dbus, systemd, udev")
set(CPACK_DEBIAN_SERVICE_PACKAGE_RECOMMENDS "${ZEL_PACKAGE_modules}")
set(CPACK_DEBIAN_CONSOLE_PACKAGE_DEPENDS "dbus")
set(CPACK_DEBIAN_MODULES_PACKAGE_DEPENDS "kmod")

include(CPack)
