# Libraries and test programs can compile against shared precompiled headers
# of the heavy third-party headers; a build on two cores spends most of its
# time parsing them otherwise. Off by default for optimised builds: there GCC 12
# reports false -Warray-bounds errors on std::string code compiled through the
# shared header, which -Werror turns into failures.
if(VELDER_SANITIZE STREQUAL "")
  set(pch_default OFF)
else()
  set(pch_default ON)
endif()
option(VELDER_USE_PCH "Compile against shared precompiled headers" ${pch_default})

add_library(velder_pch STATIC ${CMAKE_CURRENT_LIST_DIR}/empty.cpp)
target_link_libraries(velder_pch PUBLIC nlohmann_json::nlohmann_json fmt::fmt)
if(VELDER_USE_PCH)
  target_precompile_headers(velder_pch PRIVATE
    <nlohmann/json.hpp> <fmt/format.h>
    <algorithm> <atomic> <chrono> <cstdint> <functional> <map> <memory> <mutex> <optional> <string>
    <string_view> <thread> <vector>)
endif()

# velder_library(NAME SOURCES ... [LIBS ...])
# A static library, public headers found from src/. Its sources are listed
# one by one (relative to the calling folder), so that a new file joins a
# library only where someone puts it.
function(velder_library name)
  cmake_parse_arguments(L "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT L_SOURCES OR L_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "velder_library(${name}): give SOURCES and LIBS only")
  endif()
  add_library(${name} STATIC ${L_SOURCES})
  if(VELDER_USE_PCH)
    target_precompile_headers(${name} REUSE_FROM velder_pch)
  endif()
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  # fmt carries a definition into every user; the shared precompiled header
  # is only valid for code compiled with the same definitions.
  target_link_libraries(${name} PUBLIC ${L_LIBS} fmt::fmt)
endfunction()

# velder_export_only(TARGET): a shared library of ours exports only what the
# exports.map beside its CMakeLists.txt lists; code taken from static
# libraries stays private, and an unresolved symbol fails the link.
function(velder_export_only target)
  set(map ${CMAKE_CURRENT_SOURCE_DIR}/exports.map)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON LINK_DEPENDS ${map})
  target_link_options(${target} PRIVATE -Wl,--version-script=${map} -Wl,--exclude-libs,ALL -Wl,--no-undefined)
endfunction()

# Install destinations. They stay relative to the prefix, so that
# `cmake --install --prefix DIR`, a DESTDIR and the package generator can put
# the tree anywhere; programs find the libraries relative to themselves.
file(RELATIVE_PATH VELDER_LIB_DESTINATION "${CMAKE_INSTALL_PREFIX}" "${VELDER_LIB_DIR}")
if(VELDER_LIB_DESTINATION MATCHES "^\\.\\.")
  # Chosen outside the prefix: an absolute place, used as it stands.
  set(VELDER_LIB_DESTINATION "${VELDER_LIB_DIR}")
  set(VELDER_LIB_DIR_FROM_BIN "${VELDER_LIB_DIR}")
  set(VELDER_LIB_DIR_FROM_LIBDIR "${VELDER_LIB_DIR}")
else()
  file(RELATIVE_PATH VELDER_LIB_DIR_FROM_BIN "${CMAKE_INSTALL_FULL_BINDIR}" "${VELDER_LIB_DIR}")
  file(RELATIVE_PATH VELDER_LIB_DIR_FROM_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}" "${VELDER_LIB_DIR}")
  set(VELDER_LIB_DIR_FROM_BIN "$ORIGIN/${VELDER_LIB_DIR_FROM_BIN}")
  set(VELDER_LIB_DIR_FROM_LIBDIR "$ORIGIN/${VELDER_LIB_DIR_FROM_LIBDIR}")
endif()
# Folders an installation creates: 0755 whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Libraries are read, never executed, by the loader.
set(VELDER_LIBRARY_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# velder_install_program(TARGET [MAKER_LIBRARIES]): installs a program into
# bin/. MAKER_LIBRARIES: it links a library of the maker's folder
# (libhv_qor_ipc.so), which it then finds there through its run path.
function(velder_install_program target)
  cmake_parse_arguments(P "MAKER_LIBRARIES" "" "" ${ARGN})
  if(P_MAKER_LIBRARIES)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${VELDER_LIB_DIR_FROM_BIN}")
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# velder_install_maker_library(TARGET ...): the plug-in and the maker
# libraries go into the installation's library folder, where velder-host and
# the delay loader look for them.
function(velder_install_maker_library)
  install(TARGETS ${ARGN} LIBRARY DESTINATION ${VELDER_LIB_DESTINATION} PERMISSIONS ${VELDER_LIBRARY_PERMISSIONS})
endfunction()
