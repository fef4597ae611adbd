# SPDX-License-Identifier: Apache-2.0
# Folders depend one way, down the README's layout table: a folder may include
# the folders listed above it and itself, never one listed below it. Each
# library compiles against a view of the source tree that holds exactly
# those folders (links into src/), so an include that runs up the stack does
# not compile. The order is read from the README, the same table the
# IncludeLayers test checks, so the two cannot drift apart.

set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
file(STRINGS ${PROJECT_SOURCE_DIR}/README.md vexokrt_layout_rows REGEX "^\\| `src/[a-z]+/` \\|")
set(VEXOKRT_LAYERS)
foreach(row IN LISTS vexokrt_layout_rows)
  string(REGEX MATCH "src/([a-z]+)/" vexokrt_layer_match "${row}")
  list(APPEND VEXOKRT_LAYERS ${CMAKE_MATCH_1})
endforeach()
if(NOT VEXOKRT_LAYERS)
  message(FATAL_ERROR "README.md has no layout table rows of the form | `src/<folder>/` |")
endif()

# The views are made anew at each configure, so a row moved in the table
# takes effect at once.
file(REMOVE_RECURSE ${PROJECT_BINARY_DIR}/layers)

# Gives |target|, a library of src/<folder>/, its view as its include
# directory. PRIVATE: a user of the library lies below it in the table and
# compiles against its own view, which holds the library's folder; tests,
# benchmarks and the program use the whole src/ root.
function(vexokrt_layer_includes target folder)
  list(FIND VEXOKRT_LAYERS ${folder} index)
  if(index LESS 0)
    message(FATAL_ERROR "src/${folder}/ is not in the README's layout table")
  endif()
  set(view ${PROJECT_BINARY_DIR}/layers/${folder})
  file(MAKE_DIRECTORY ${view})
  foreach(i RANGE ${index})
    list(GET VEXOKRT_LAYERS ${i} allowed)
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${allowed} ${view}/${allowed} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PRIVATE ${view})
endfunction()
