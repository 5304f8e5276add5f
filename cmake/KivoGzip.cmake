# kivo_install_gzipped(TARGET DESTINATION DIR FILES FILE...)
# Installs each file compressed (FILE.gz, made in the build folder without a time stamp, so the
# same sources give the same bytes), as Debian wants manual pages and changelogs.
function(kivo_install_gzipped target)
  cmake_parse_arguments(G "" "DESTINATION" "FILES" ${ARGN})
  set(outputs)
  foreach(file IN LISTS G_FILES)
    get_filename_component(name "${file}" NAME)
    get_filename_component(source "${file}" ABSOLUTE)
    set(output "${CMAKE_CURRENT_BINARY_DIR}/gzipped/${name}.gz")
    add_custom_command(OUTPUT "${output}"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/gzipped"
      COMMAND gzip -9 -n -c "${source}" > "${output}"
      DEPENDS "${source}" VERBATIM)
    list(APPEND outputs "${output}")
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${outputs})
  install(FILES ${outputs} DESTINATION "${G_DESTINATION}")
endfunction()
