# asiohost runs as a child against an area made here; its WAV unit is linked in.
target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/asio/com/com.cpp ${CMAKE_SOURCE_DIR}/tools/asiohost/wavfile.cpp)
target_link_libraries(${name} PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(${name} Velunor-rEduVuzi asiohost)
target_compile_definitions(${name} PRIVATE VELUNOR_ASIO_SO="$<TARGET_FILE:Velunor-rEduVuzi>"
  VELUNOR_ASIOHOST="$<TARGET_FILE:asiohost>")
