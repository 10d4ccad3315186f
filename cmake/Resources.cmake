# Embeds a packed resource directory into an executable as the non-loaded ELF section
# ".tr350.rsrc", which the Linux resource layer reads back from the program file itself.

# tr350_embed_resources(<target> <packed-resource-file> <target-that-produces-it>)
function(tr350_embed_resources target blob producer)
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
