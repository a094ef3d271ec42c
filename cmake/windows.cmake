# Windows: the services over the real CryptoAPI, and the DLL with its exports. jni.h comes from
# the host JDK, jni_md.h is ours (src/win32).
target_include_directories(ostrel_conversion SYSTEM PUBLIC src/win32 ${JAVA_HOME}/include)
target_link_libraries(ostrel_services PUBLIC crypt32 advapi32)
# No lib prefix, no import library, and no MinGW runtime DLLs beside it.
set_target_properties(OstrelSignatureMS_1_0 PROPERTIES PREFIX "" IMPORT_PREFIX "")
target_link_options(OstrelSignatureMS_1_0 PRIVATE -static -Wl,--no-undefined)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # stdcall names: decorated and undecorated, from the .def; it also names the module.
  set(OSTREL_EXPORT_DEF ${CMAKE_CURRENT_SOURCE_DIR}/src/win32/OstrelSignatureMS_1_0.def)
  target_sources(OstrelSignatureMS_1_0 PRIVATE ${OSTREL_EXPORT_DEF})
endif()
include(cmake/install.cmake)
if(OSTREL_TESTS)
  add_subdirectory(tests/windows)
endif()
