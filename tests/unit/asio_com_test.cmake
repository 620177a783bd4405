# The driver is tested as hosts use it: dlopen of the built library, exports by name.
target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/asio/com/com.cpp)
target_link_libraries(${name} PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(${name} Velunor-rEduVuzi)
target_compile_definitions(${name} PRIVATE VELUNOR_ASIO_SO="$<TARGET_FILE:Velunor-rEduVuzi>")
