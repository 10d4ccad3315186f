# Puts the program's resources into an executable where the platform keeps them. Linux: the
# packed resource directory as the non-loaded ELF section ".tr350.rsrc", which the Linux resource
# layer reads back from the program file itself. Windows: the resource script, compiled by the
# resource compiler into the program's resource section.

# tr350_embed_resources(<target> <packed-resource-file or .rc> <target-that-produces-it>)
function(tr350_embed_resources target blob producer)
  if(WIN32)
    set_source_files_properties("${blob}" PROPERTIES GENERATED ON
      OBJECT_DEPENDS "${TR350_RESOURCE_INPUTS}")
    target_sources(${target} PRIVATE "${blob}")
    add_dependencies(${target} ${producer})
    return()
  endif()
  set(stub "${CMAKE_CURRENT_BINARY_DIR}/${target}_rsrc.S")
  file(WRITE "${stub}.in"
    "    .section .tr350.rsrc,\"\",@progbits\n"
    "    .incbin \"${blob}\"\n"
    "    .section .note.GNU-stack,\"\",@progbits\n")
  configure_file("${stub}.in" "${stub}" COPYONLY)
  set_source_files_properties("${stub}" PROPERTIES OBJECT_DEPENDS "${blob}")
  target_sources(${target} PRIVATE "${stub}")
  add_dependencies(${target} ${producer})
endfunction()
