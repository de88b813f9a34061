# What an installation holds besides the programs and the libraries of the
# plug-in's folder (their own CMakeLists install those through
# velder_install_program and velder_install_maker_library): the client library
# for other projects, the systemd unit, the tmpfiles.d entry, the man pages,
# and the Debian package made of all of it (scripts/package).
include(CMakePackageConfigHelpers)
set(packaging ${PROJECT_SOURCE_DIR}/packaging)

# The client library: headers in include/velder/, the CMake package
# (find_package(Velder) -> Velder::client) and velder-client.pc.
install(TARGETS velder_client_shared EXPORT VelderTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} PERMISSIONS ${VELDER_LIBRARY_PERMISSIONS})
install(FILES client/velder_client.h client/client_status.h client/notification.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velder)
install(FILES src/store/result_code.h src/store/value_type.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velder/store)

set(cmake_destination ${CMAKE_INSTALL_LIBDIR}/cmake/Velder)
install(EXPORT VelderTargets NAMESPACE Velder:: DESTINATION ${cmake_destination})
set(VELDER_JSON_VERSION ${nlohmann_json_VERSION})
configure_package_config_file(${packaging}/VelderConfig.cmake.in ${CMAKE_BINARY_DIR}/VelderConfig.cmake
  INSTALL_DESTINATION ${cmake_destination})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VelderConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VelderConfig.cmake ${CMAKE_BINARY_DIR}/VelderConfigVersion.cmake
  DESTINATION ${cmake_destination})

# The .pc file names its folders relative to itself, so that a tree moved by
# --prefix or DESTDIR stays usable.
function(velder_pc_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
file(RELATIVE_PATH VELDER_PC_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
string(REGEX REPLACE "/$" "" VELDER_PC_PREFIX "${VELDER_PC_PREFIX}")
velder_pc_path(VELDER_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
velder_pc_path(VELDER_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
configure_file(${packaging}/velder-client.pc.in ${CMAKE_BINARY_DIR}/velder-client.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/velder-client.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# systemd: every unit of packaging/, its Exec lines pointed at the bin folder
# of the prefix installed to (known only when installing).
file(GLOB units CONFIGURE_DEPENDS ${packaging}/*.service)
install(CODE "
  set(velder_units \"${units}\")
  set(velder_bindir \"${CMAKE_INSTALL_BINDIR}\")
  set(velder_unit_work \"${CMAKE_BINARY_DIR}/units\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/VelderInstallUnits.cmake\")")
install(FILES ${packaging}/tmpfiles.d/velder.conf DESTINATION lib/tmpfiles.d)

# Every man page of packaging/man/, compressed as Debian keeps them.
file(GLOB man_pages CONFIGURE_DEPENDS ${packaging}/man/*.[1-8])
set(compressed_pages)
foreach(page ${man_pages})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([1-8])$" "\\1" section ${name})
  set(out ${CMAKE_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${out} COMMAND gzip -9 -n -c ${page} > ${out} DEPENDS ${page}
    COMMENT "Compressing man page ${name}" VERBATIM)
  list(APPEND compressed_pages ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
add_custom_target(velder_man_pages ALL DEPENDS ${compressed_pages})

# The Debian package: one package "velder" with the service, the tools and the
# client library. Maintainer scripts in packaging/debian/.
set(VELDER_PACKAGE_MAINTAINER "Velder maintainers <root@localhost>" CACHE STRING "Maintainer field of the .deb")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velder)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VELDER_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "settings-management service with its tools and client library")
# The extended description; the summary above is its first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "velder-host runs the settings plug-in as a systemd service: product
components and users read, write and watch their settings through a local
socket, and the service keeps them in sync with a REST settings server over
HTTPS. With velderctl, hvreg, velder-update and the C++ client library
(CMake package Velder::client, pkg-config velder-client).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS systemd)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${packaging}/debian/postinst ${packaging}/debian/prerm
  ${packaging}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
