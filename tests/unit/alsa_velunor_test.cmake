# The ALSA plugin's code, built into the test with a stand-in stream in place of the
# platform's WaveRT client.
if(TARGET PkgConfig::ALSA)
  target_sources(alsa_velunor_test PRIVATE ${CMAKE_SOURCE_DIR}/tools/alsa-velunor/pcm_velunor.cpp)
  target_link_libraries(alsa_velunor_test PRIVATE PkgConfig::ALSA)
  set_source_files_properties(${CMAKE_SOURCE_DIR}/tools/alsa-velunor/pcm_velunor.cpp TARGET_DIRECTORY alsa_velunor_test
    PROPERTIES COMPILE_DEFINITIONS PIC)
  set_target_properties(alsa_velunor_test PROPERTIES ENABLE_EXPORTS ON)
endif()
