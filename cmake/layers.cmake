# Declared layering. Every library target of the project compiles against a view of the
# source tree that holds only the folders its layer may include: a folder of symbolic links
# made at configure time under build/layers/<target>/. An include of a folder outside the
# view does not resolve, so a wrong dependency fails to compile instead of slipping in.
#
#   vexor_layer(<target> <folder>...)
#
# Folders are relative to the project root and may name a subfolder ("platform/core"). The
# public headers (include/vexor) are visible to every layer.
function(vexor_layer target)
  set(view ${CMAKE_BINARY_DIR}/layers/${target})
  file(REMOVE_RECURSE ${view})
  foreach(folder IN LISTS ARGN)
    get_filename_component(parent ${view}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PRIVATE ${view})
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                            $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set_property(TARGET ${target} PROPERTY VEXOR_LAYER "${ARGN}")
endfunction()

# Targets outside the layers (tests, tools, benchmarks) see the whole tree.
function(vexor_whole_tree target)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
endfunction()
