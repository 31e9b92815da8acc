# Gives a Windows program file a message table compiled from a message file
# (.mc) with mingw-w64's windmc; elsewhere it does nothing.
#   tallowmere_message_table(target path/to/messages.mc)

function(tallowmere_message_table target mc)
  if(NOT WIN32)
    return()
  endif()
  find_program(TALLOWMERE_WINDMC NAMES x86_64-w64-mingw32-windmc windmc)
  if(NOT TALLOWMERE_WINDMC)
    message(FATAL_ERROR "windmc (mingw-w64's binutils) is needed for the message table")
  endif()
  get_filename_component(name ${mc} NAME_WE)
  get_filename_component(source ${mc} ABSOLUTE)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_messages)
  # windmc writes NAME.rc, NAME.h and one MSGnnnnn.bin per language; the .rc
  # names the .bin without a directory, so windres looks for it in dir.
  add_custom_command(
    OUTPUT ${dir}/${name}.rc ${dir}/${name}.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${TALLOWMERE_WINDMC} -h ${dir} -r ${dir} ${source}
    DEPENDS ${source}
    COMMENT "Compiling the message table ${name}.mc"
    VERBATIM)
  target_sources(${target} PRIVATE ${dir}/${name}.rc)
  set_property(SOURCE ${dir}/${name}.rc APPEND PROPERTY INCLUDE_DIRECTORIES ${dir})
endfunction()
