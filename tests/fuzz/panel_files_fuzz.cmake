# The panel's parsers need Qt: built only when the panel's library is.
if(TARGET velunor_panel)
  target_link_libraries(panel_files_fuzz PRIVATE velunor_panel)
else()
  set_target_properties(panel_files_fuzz PROPERTIES EXCLUDE_FROM_ALL TRUE)
endif()
