# Runs when installing (cmake --install, the package generator): writes every
# systemd unit with the programs of its Exec lines in the bin folder of the
# prefix being installed to, then installs it.
#   velder_units: the unit files; velder_bindir: the bin folder (relative to
#   the prefix, or absolute); velder_unit_work: a folder for the written units.
if(IS_ABSOLUTE "${velder_bindir}")
  set(bindir "${velder_bindir}")
else()
  set(bindir "${CMAKE_INSTALL_PREFIX}/${velder_bindir}")
endif()
# A folder of its own: two installations may run at once.
string(RANDOM LENGTH 12 work)
set(work "${velder_unit_work}/${work}")
foreach(unit IN LISTS velder_units)
  get_filename_component(name "${unit}" NAME)
  file(READ "${unit}" text)
  string(REGEX REPLACE "(\n(Exec[A-Za-z]+)=[-@:+!]*)/usr/bin/" "\\1${bindir}/" text "${text}")
  file(WRITE "${work}/${name}" "${text}")
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES "${work}/${name}")
endforeach()
file(REMOVE_RECURSE "${work}")
