# The Debian package ostrel: cpack -G DEB in the build directory makes ostrel_<version>_<arch>.deb.
# It installs under /usr in the layout of cmake/install.cmake, which is Debian's Java one.
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${OSTREL_MAINTAINER})
# Lines under 80 columns, as Debian's policy wants them.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "JNI library signing with the user's NSS certificates, and ostrel-sign")
set(CPACK_PACKAGE_DESCRIPTION
    "For the Java class ostrel.client.applet.msprovider.OstrelSignatureMS: lists\n\
the current user's personal certificates that have a private key (in the\n\
user's NSS database and on the smart cards of its PKCS#11 modules), signs\n\
with them (RSA PKCS#1 v1.5 over SHA-1), computes SHA-1 digests and reads\n\
certificate attributes. The command-line tool ostrel-sign does the same from\n\
a shell, and shows the database, modules, readers and tokens in use.")
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
