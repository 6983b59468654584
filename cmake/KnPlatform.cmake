# Platform halves of units. A unit with a platform half has a header in portable types, its
# portable part in <Unit>.cpp (when it has one) and one file per system: <Unit>Linux.cpp, later
# <Unit>Win.cpp. Source lists name their portable files; the halves come from here:
#
#   kn_platform_sources(VAR KNClock KNOs ...)   appends <dir>/<Unit><Platform>.cpp for each unit
#
# KN_PLATFORM is "Linux" or "Win", from the system being built for.
if(WIN32)
  set(KN_PLATFORM Win)
else()
  set(KN_PLATFORM Linux)
endif()

function(kn_platform_sources var)
  set(out ${${var}})
  foreach(unit IN LISTS ARGN)
    list(APPEND out ${CMAKE_CURRENT_SOURCE_DIR}/${unit}${KN_PLATFORM}.cpp)
  endforeach()
  set(${var} ${out} PARENT_SCOPE)
endfunction()
