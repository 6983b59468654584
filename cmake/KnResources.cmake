# kn_embed_resources(<target> RESOURCE <name> <file> [BASE64] [RESOURCE ...])
#
# Stores each file in <target> as the resource <name>, found at run time with kn::findResource
# (common/KNResources.h). <file> is relative to the calling CMakeLists.txt's folder. With BASE64 the
# stored resource is the file's bytes base64-encoded as one line followed by CR LF. The data is
# regenerated whenever a file changes; nothing is downloaded and no tool beyond the compiler is used.
#
# The records go into an OBJECT library <target>_resources whose object file is linked whole into
# every executable that links <target>, so no record is lost to static linking:
#   - <target> an executable: the records are in that executable;
#   - <target> a library (STATIC, SHARED, OBJECT or INTERFACE, e.g. knaudit): the records are in every
#     executable linking it, directly or through other libraries (auditagent, its tests, the benchmarks).
# Call it once per set of resources: embedding the same name in a library and in an executable that
# links it puts two records of that name in the executable (the lookup then finds either).

set(KN_EMBED_GENERATOR_SOURCE ${CMAKE_CURRENT_LIST_DIR}/kn_embed.cpp)

# On Windows the files become resources of type "TEXT" (language 1033) of every executable that
# links <target>: a resource script compiled by windres, whose data files the build machine's shell
# prepares (base64 with CR LF where asked, one NUL byte after each, which the lookup leaves out).
function(kn_embed_windows_resources target)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.rc)
  set(lines "LANGUAGE 0x09, 0x01\n")
  set(outputs)
  set(args ${ARGN})
  while(args)
    list(POP_FRONT args name file base64)
    set(data ${CMAKE_CURRENT_BINARY_DIR}/${target}_${name}.dat)
    if(base64)
      set(make "base64 -w0 '${file}' && printf '\\r\\n\\0'")
    else()
      set(make "cat '${file}' && printf '\\0'")
    endif()
    add_custom_command(OUTPUT ${data} COMMAND sh -c "(${make}) > '${data}'" DEPENDS ${file}
                       COMMENT "Preparing resource ${name} of ${target}" VERBATIM)
    list(APPEND outputs ${data})
    string(APPEND lines "${name} TEXT \"${data}\"\n")
  endwhile()
  # Written when the build is configured (only when its text changes), not generated: a generated
  # source shared by several executables, one of which waits for another (the agent's tests for the
  # agent), would make the build wait on itself.
  file(CONFIGURE OUTPUT ${rc} CONTENT "${lines}" @ONLY)
  add_custom_target(${target}_resource_data DEPENDS ${outputs})
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${outputs}")
  # The resource script is compiled here, in its own folder, where the dependency on its data files
  # holds (source properties belong to the folder that sets them): an executable compiles it itself;
  # a library hands the compiled object to every executable that links it.
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    target_sources(${target} PRIVATE ${rc})
    add_dependencies(${target} ${target}_resource_data)
  else()
    add_library(${target}_resources OBJECT ${rc})
    add_dependencies(${target}_resources ${target}_resource_data)
    target_link_libraries(${target} INTERFACE $<TARGET_OBJECTS:${target}_resources>)
    add_dependencies(${target} ${target}_resources)
  endif()
endfunction()

function(kn_embed_resources target)
  if(NOT TARGET kn_embed)
    add_executable(kn_embed ${KN_EMBED_GENERATOR_SOURCE})
  endif()

  set(args)
  set(files)
  set(expect RESOURCE)
  foreach(arg IN LISTS ARGN)
    if(expect STREQUAL "RESOURCE")
      if(NOT arg STREQUAL "RESOURCE")
        message(FATAL_ERROR "kn_embed_resources(${target}): expected RESOURCE, got '${arg}'")
      endif()
      set(expect NAME)
    elseif(expect STREQUAL "NAME")
      set(name ${arg})
      set(expect FILE)
    elseif(expect STREQUAL "FILE")
      get_filename_component(file ${arg} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
      list(APPEND files ${file})
      set(expect MODE)
    else()  # MODE: an optional BASE64 after the file
      if(arg STREQUAL "BASE64")
        list(APPEND args ${name} ${file} 1)
        set(expect RESOURCE)
      elseif(arg STREQUAL "RESOURCE")
        list(APPEND args ${name} ${file} 0)
        set(expect NAME)
      else()
        message(FATAL_ERROR "kn_embed_resources(${target}): unexpected '${arg}' after ${file}")
      endif()
    endif()
  endforeach()
  if(expect STREQUAL "MODE")
    list(APPEND args ${name} ${file} 0)
  elseif(NOT expect STREQUAL "RESOURCE" OR NOT args)
    message(FATAL_ERROR "kn_embed_resources(${target}): incomplete RESOURCE <name> <file>")
  endif()

  if(WIN32)
    kn_embed_windows_resources(${target} ${args})
    return()
  endif()

  set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp)
  add_custom_command(
    OUTPUT ${output}
    COMMAND kn_embed ${output} ${args}
    DEPENDS kn_embed ${files}
    COMMENT "Embedding resources of ${target}"
    VERBATIM)
  add_library(${target}_resources OBJECT ${output})
  target_link_libraries(${target}_resources PRIVATE kncommon)

  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    target_link_libraries(${target} PRIVATE ${target}_resources)
  else()
    target_link_libraries(${target} INTERFACE $<TARGET_OBJECTS:${target}_resources>)
    add_dependencies(${target} ${target}_resources)
  endif()
endfunction()
