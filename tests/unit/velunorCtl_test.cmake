# The controller's text side lives in the tool's own library.
target_link_libraries(${name} PRIVATE velunor_ctl_core)
