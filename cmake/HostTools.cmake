# The build-time tools. A native build makes them as ordinary targets of its own tree; a cross
# build makes them for the build machine in a nested build (host-tools/) and sees them as imported
# executables under the same names, so the rules that run them read the same either way.

# The tools the rest of the build runs, and the folder of each in the nested build.
set(TR350_HOST_TOOLS make_stand_in_image:tools check_image:tools pack_resources:tools
    make_rc:tools make_icons:res/icon)

if(CMAKE_CROSSCOMPILING AND NOT TR350_HOST_TOOLS_ONLY)
  include(ExternalProject)
  set(host_dir "${CMAKE_BINARY_DIR}/host-tools")
  set(byproducts "")
  foreach(entry IN LISTS TR350_HOST_TOOLS)
    string(REPLACE ":" ";" parts "${entry}")
    list(GET parts 0 name)
    list(GET parts 1 folder)
    list(APPEND byproducts "${host_dir}/${folder}/${name}")
  endforeach()
  # The nested build uses the build machine's own compiler: no toolchain file is passed on.
  ExternalProject_Add(tr350_host_tools
    SOURCE_DIR "${PROJECT_SOURCE_DIR}"
    BINARY_DIR "${host_dir}"
    CMAKE_ARGS -DTR350_HOST_TOOLS_ONLY=ON -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=cc
               -DCMAKE_CXX_COMPILER=c++ -DCMAKE_COMPILE_WARNING_AS_ERROR=${CMAKE_COMPILE_WARNING_AS_ERROR}
    BUILD_COMMAND ${CMAKE_COMMAND} --build "${host_dir}"
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${byproducts}
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
  foreach(entry IN LISTS TR350_HOST_TOOLS)
    string(REPLACE ":" ";" parts "${entry}")
    list(GET parts 0 name)
    list(GET parts 1 folder)
    add_executable(${name} IMPORTED GLOBAL)
    set_target_properties(${name} PROPERTIES IMPORTED_LOCATION "${host_dir}/${folder}/${name}")
    add_dependencies(${name} tr350_host_tools)
  endforeach()
endif()
