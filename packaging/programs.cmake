# shardex_install_program(TARGET): TARGET is a program of the Shardex package. It is
# installed to bin/ with its manual page, docs/man/TARGET.1 (section 1, compressed as Debian
# wants it), and the package's test runs its --version from the installed package. Adding a
# program to the package is this one call beside its add_executable.
function(shardex_install_program target)
  set(page ${PROJECT_SOURCE_DIR}/docs/man/${target}.1)
  if(NOT EXISTS ${page})
    message(FATAL_ERROR "${target} is installed without a manual page: write ${page}")
  endif()
  set(compressed ${PROJECT_BINARY_DIR}/man/${target}.1.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${page} ${compressed}
    DEPENDS ${page}
    VERBATIM)
  add_custom_target(${target}_manual ALL DEPENDS ${compressed})
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set_property(GLOBAL APPEND PROPERTY SHARDEX_PROGRAMS ${target})
endfunction()
