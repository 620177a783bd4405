# VelunorCore is tested as the control panel uses it: dlopen of the built library,
# aa_main and aa_getBuf_recv by name.
target_link_libraries(${name} PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(${name} VelunorCore)
target_compile_definitions(${name} PRIVATE VELUNOR_CORE_SO="$<TARGET_FILE:VelunorCore>")
