# Systems other than Windows: our CryptoAPI-shaped interface, implemented over NSS; the library's
# export map; the tool, install rules, package, tests and benchmarks.
find_package(JNI REQUIRED COMPONENTS JVM)
target_include_directories(ostrel_conversion SYSTEM PUBLIC ${JNI_INCLUDE_DIRS})

# The interface's platform-independent parts: DER reader, certificate decoder, X.500 names, key
# usage and key spec, text helpers, last error.
add_library(ostrel_cryptoapi STATIC
  src/cryptoapi/der.cpp src/cryptoapi/cert_decode.cpp src/cryptoapi/cert_attributes.cpp
  src/cryptoapi/cert_names.cpp src/cryptoapi/x500_name.cpp src/cryptoapi/key_spec.cpp
  src/cryptoapi/text.cpp src/cryptoapi/last_error.cpp)
target_include_directories(ostrel_cryptoapi PUBLIC src)

# Its implementation over NSS, one part a file (README, "Source layout"). Porting to another
# system replaces this.
find_package(PkgConfig REQUIRED)
pkg_check_modules(NSS REQUIRED IMPORTED_TARGET nss)
# The SQLite NSS itself uses, to tell one key database from another (nss/freshness.h).
pkg_check_modules(SQLITE REQUIRED IMPORTED_TARGET sqlite3)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
add_library(ostrel_nss STATIC
  src/nss/startup.cpp src/nss/freshness.cpp src/nss/listing.cpp src/nss/store.cpp
  src/nss/keys.cpp src/nss/consent.cpp src/nss/provider.cpp src/nss/login.cpp
  src/nss/pinentry.cpp src/nss/report.cpp src/nss/outstanding.cpp)
target_link_libraries(ostrel_nss PUBLIC ostrel_cryptoapi PkgConfig::NSS PkgConfig::SQLITE
                                        OpenSSL::Crypto)

target_link_libraries(OstrelSignatureMS_1_0 PRIVATE ostrel_nss)
set(OSTREL_EXPORT_MAP ${CMAKE_CURRENT_SOURCE_DIR}/src/libOstrelSignatureMS.map)
target_link_options(OstrelSignatureMS_1_0 PRIVATE -Wl,--version-script=${OSTREL_EXPORT_MAP}
                    -Wl,--no-undefined)
set_target_properties(OstrelSignatureMS_1_0 PROPERTIES LINK_DEPENDS ${OSTREL_EXPORT_MAP})
if(OSTREL_COUNT_OBJECTS)
  # In the library itself: an archive member nothing refers to would not be linked.
  target_sources(OstrelSignatureMS_1_0 PRIVATE src/nss/outstanding_report.cpp)
endif()

# The command-line tool ostrel-sign, the install rules, and the Debian package (cpack -G DEB).
add_subdirectory(java/ostrel/tool)
include(cmake/install.cmake)
include(cmake/package.cmake)

if(OSTREL_FUZZ)
  add_subdirectory(tests/fuzz)
elseif(OSTREL_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()

# Benchmarks (scripts/bench.sh): off by default, so that the test command never builds them.
if(OSTREL_BENCH)
  add_subdirectory(bench)
endif()
