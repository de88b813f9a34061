# velder_library(NAME [SOURCES ...] [GLOBS ...] [EXCLUDE ...] [LIBS ...])
# A static library, public headers found from src/. Its sources are SOURCES
# plus the files matching GLOBS (default: *.cpp of the calling folder, unless
# SOURCES are given), minus the files matching EXCLUDE. Patterns are relative
# to the calling folder.
function(velder_library name)
  cmake_parse_arguments(L "" "" "SOURCES;GLOBS;EXCLUDE;LIBS" ${ARGN})
  set(sources ${L_SOURCES})
  if(NOT L_GLOBS AND NOT L_SOURCES)
    set(L_GLOBS "*.cpp")
  endif()
  foreach(pattern ${L_GLOBS})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${pattern})
    list(APPEND sources ${found})
  endforeach()
  foreach(pattern ${L_EXCLUDE})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${pattern})
    if(found)
      list(REMOVE_ITEM sources ${found})
    endif()
  endforeach()
  if(NOT sources)
    # A part whose first files are still being written.
    set(sources ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${L_LIBS})
endfunction()
