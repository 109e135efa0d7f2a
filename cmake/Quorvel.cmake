# quorvel_library(<target> [DEPS <targets>...])
# One library per folder: every .cpp in the calling folder, headers included
# as "<folder>/<file>.h". A library sees only its own folder and the folders
# of the libraries it stands on (its DEPS, and theirs): its include root is
# a view in the build tree that holds links to just those folders, so an
# include of a layer above fails to compile.
function(quorvel_library target)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp
                                      ${CMAKE_CURRENT_SOURCE_DIR}/*.h
                                      ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
  if(NOT sources)
    return()  # folder laid out, nothing written yet
  endif()
  add_library(${target} STATIC ${sources})
  target_link_libraries(${target} PUBLIC ${ARG_DEPS})

  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(folders ${folder})
  foreach(dep IN LISTS ARG_DEPS)
    string(REGEX REPLACE "^\\$<TARGET_NAME_IF_EXISTS:(.*)>$" "\\1" dep "${dep}")
    get_property(below GLOBAL PROPERTY QUORVEL_VIEW_${dep})
    list(APPEND folders ${below})
  endforeach()
  list(REMOVE_DUPLICATES folders)
  set_property(GLOBAL PROPERTY QUORVEL_VIEW_${target} ${folders})
  quorvel_include_view(${target} ${folders})
endfunction()

# quorvel_include_view(<target> <folders>...)
# Gives target an include root that holds links to exactly these folders.
function(quorvel_include_view target)
  set(view ${CMAKE_BINARY_DIR}/include-views/${target})
  file(REMOVE_RECURSE ${view})
  foreach(folder IN LISTS ARGN)
    get_filename_component(parent ${view}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PUBLIC ${view})
endfunction()

# quorvel_tests([DEPS <targets>...] [SERIAL <names>...])
# One test program per *_test.cpp in the calling folder, run by CTest one
# test case at a time. The programs named in SERIAL (file name without
# "_test.cpp") run alone and carry the label "timing": they judge sound
# timing (or memory), which other tests' load would shift and which a
# sanitizer's own overhead spoils. The discovered tests' properties are one
# flat list of names and values: an empty value or a list value would shift
# every pair after it, so each value here is a single word.
function(quorvel_tests)
  cmake_parse_arguments(ARG "" "" "DEPS;SERIAL" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  string(REPLACE "/" "_" prefix "${rel}")
  foreach(test_source IN LISTS tests)
    get_filename_component(name ${test_source} NAME_WE)
    set(exe "${prefix}_${name}")
    add_executable(${exe} ${test_source})
    target_link_libraries(${exe} PRIVATE quorvel_test_support ${ARG_DEPS})
    string(REGEX REPLACE "_test$" "" short ${name})
    set(properties TIMEOUT 120 ENVIRONMENT QT_QPA_PLATFORM=offscreen)
    if(short IN_LIST ARG_SERIAL)
      list(APPEND properties RUN_SERIAL TRUE LABELS timing)
    endif()
    gtest_discover_tests(${exe}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 60
      PROPERTIES ${properties})
  endforeach()
endfunction()

# quorvel_programs(<prefix> [DEPS <targets>...])
# One program per .cpp in the calling folder (benchmarks, tools).
function(quorvel_programs prefix)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(source IN LISTS sources)
    get_filename_component(name ${source} NAME_WE)
    add_executable(${prefix}${name} ${source})
    # Programs around the product are no layer: they may use any header.
    target_include_directories(${prefix}${name} PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${prefix}${name} PRIVATE ${ARG_DEPS})
  endforeach()
endfunction()

# The test of a tool built from tools/: tests/tools/<stem>_test.cpp, run
# offscreen once the output it checks (the target AFTER) has been made.
# DEFINITIONS are compile definitions telling it where the tool and its
# output are.
function(quorvel_tool_test stem)
  cmake_parse_arguments(T "" "AFTER" "DEFINITIONS" ${ARGN})
  set(target tools_${stem}_test)
  add_executable(${target} ${PROJECT_SOURCE_DIR}/tests/tools/${stem}_test.cpp)
  target_link_libraries(${target} PRIVATE quorvel_test_support)
  target_compile_definitions(${target} PRIVATE ${T_DEFINITIONS})
  add_dependencies(${target} ${T_AFTER})
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
