# The Debian package ostrel: cpack -G DEB in the build directory makes ostrel_<version>_<arch>.deb.
# It installs under /usr in the layout of cmake/install.cmake, which is Debian's Java one.
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Ostrel maintainers <maintainers@users.noreply.c-seed-261b8c5d.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "JNI library of the Java class OstrelSignatureMS, over NSS, and the tool ostrel-sign")
set(CPACK_PACKAGE_DESCRIPTION
    "Lists the current user's personal certificates that have a private key (the NSS database in\n\
~/.pki/nssdb and its PKCS#11 modules), signs with them (RSA PKCS#1 v1.5 over SHA-1), computes\n\
SHA-1 digests and reads certificate attributes, for the Java class\n\
ostrel.client.applet.msprovider.OstrelSignatureMS. The command-line tool ostrel-sign does the\n\
same from a shell.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION java)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps finds the libraries the JNI library links (libnss3, libnspr4, libssl3, the C++
# runtime); the Java runtime is only ever found by the launcher's PATH, so it is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "default-jre-headless (>= 2:1.17) | java17-runtime-headless")
include(CPack)
