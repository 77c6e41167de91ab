# System DLLs that are not KnownDLLs (comctl32, wininet, wintrust) are
# delay-loaded: the program's import table then names only DLLs that Windows
# always takes from the system directory, so a look-alike DLL beside the
# program (in a Downloads folder) is never loaded by Windows' loader. So are
# the KnownDLLs that may bring the common controls with them (comdlg32,
# shell32): loaded at start, those would load the DLLs they use, uxtheme
# first, by the search that begins in the program's folder. The program
# binds these imports itself at start, after it has limited the DLL search,
# and the delay-load helper asks the framework's hook
# (framework/SystemLibraries.cpp) to load each DLL from the system directory,
# or for the common controls from the side-by-side store.
#
# delay_load_system_library(NAME) defines an imported target NAME, so that
# every target_link_libraries(... NAME) of the build, present or future,
# links the delay-load import library into a program whose property
# DELAY_LOAD_SYSTEM_DLLS is on (the shipped program), and the ordinary one
# elsewhere: the tests replace system functions in the ordinary import
# table, which a delay-loaded function is not in. The
# library is made at configure time from the toolchain's import library: its
# exports are the names behind the __imp_ symbols (with the stdcall suffix on
# i686, which dlltool's --kill-at takes off the imported name).
function(delay_load_system_library name)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${name}.a
                  OUTPUT_VARIABLE import_library OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_NM} -g --defined-only ${import_library}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot read ${import_library}")
  endif()
  string(REGEX MATCHALL "__imp_[^\n]+" imports "${symbols}")
  set(definitions "LIBRARY ${name}.dll\nEXPORTS\n")
  foreach(import IN LISTS imports)
    string(REGEX REPLACE "^__imp_" "" export "${import}")
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
      string(REGEX REPLACE "^_" "" export "${export}")
    endif()
    string(APPEND definitions "${export}\n")
  endforeach()
  set(directory ${CMAKE_BINARY_DIR}/delayload)
  file(MAKE_DIRECTORY ${directory})
  file(WRITE ${directory}/${name}.def "${definitions}")
  set(kill_at)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(kill_at --kill-at)
  endif()
  # Made in its folder under a bare name, so that its descriptor's symbol is
  # __DELAY_IMPORT_DESCRIPTOR_<name>_a, which the program binds at start.
  execute_process(COMMAND ${CMAKE_DLLTOOL} ${kill_at} --input-def ${name}.def --output-delaylib ${name}.a
                  WORKING_DIRECTORY ${directory} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot make the delay-load library of ${name}")
  endif()
  add_library(${name} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${name} PROPERTIES INTERFACE_LINK_LIBRARIES
    "$<IF:$<BOOL:$<TARGET_PROPERTY:DELAY_LOAD_SYSTEM_DLLS>>,${directory}/${name}.a,${import_library}>")
endfunction()
