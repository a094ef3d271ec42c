# Install rules. Linux follows Debian's layout, so that a package installed under /usr needs no
# settings: the JNI library in lib/jni (on OpenJDK's default java.library.path there), the jars
# in share/java, the tool ostrel-sign in bin. Windows: the DLL in bin, beside what loads it.
include(GNUInstallDirs)
set(OSTREL_INSTALL_JAVADIR ${CMAKE_INSTALL_DATADIR}/java)
set(OSTREL_MAINTAINER "Ostrel maintainers <maintainers@users.noreply.c-seed-261b8c5d.example>")

if(WIN32)
  install_jar(ostrel_java DESTINATION ${OSTREL_INSTALL_JAVADIR})
  install(TARGETS OstrelSignatureMS_1_0 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  return()
endif()

# Not lib/<multiarch>: the tool's launcher and the README name one directory for every prefix.
set(OSTREL_INSTALL_JNIDIR lib/jni)
# A plug-in, not a library to link against: not executable, as Debian wants shared objects.
# The tool's own library (`tokens`, the list's Token column) goes beside it, on the same path.
install(TARGETS OstrelSignatureMS_1_0 ostrel_tokens LIBRARY DESTINATION ${OSTREL_INSTALL_JNIDIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# A stripped install (CPack's) also drops the sections strip keeps by default, as dh_strip does.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(lib $<TARGET_FILE_NAME:OstrelSignatureMS_1_0> $<TARGET_FILE_NAME:ostrel_tokens>)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${OSTREL_INSTALL_JNIDIR}/\${lib}\" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()")

# Debian's Java policy: NAME-VERSION.jar, and NAME.jar, which the launcher and other programs
# name, a link to it.
foreach(jar ostrel_java ostrel_tool)
  get_target_property(file ${jar} JAR_FILE)
  get_filename_component(name ${file} NAME_WE)
  install(FILES ${file} DESTINATION ${OSTREL_INSTALL_JAVADIR} RENAME ${name}-${PROJECT_VERSION}.jar)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/jar-links)
  file(CREATE_LINK ${name}-${PROJECT_VERSION}.jar ${CMAKE_BINARY_DIR}/jar-links/${name}.jar SYMBOLIC)
  install(FILES ${CMAKE_BINARY_DIR}/jar-links/${name}.jar DESTINATION ${OSTREL_INSTALL_JAVADIR})
endforeach()

# The manual page, the copyright file and a changelog, compressed as Debian wants them.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
string(TIMESTAMP OSTREL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(CPACK_PACKAGE_CONTACT ${OSTREL_MAINTAINER})
configure_file(cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/doc/changelog.in @ONLY)
set(docs)
foreach(doc java/ostrel/tool/ostrel-sign.1 ${CMAKE_BINARY_DIR}/doc/changelog.in)
  get_filename_component(name ${doc} NAME)
  string(REGEX REPLACE "\\.in$" "" name ${name})
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/${name}.gz
                     COMMAND ${CMAKE_COMMAND} -E copy ${doc} ${CMAKE_BINARY_DIR}/doc/${name}
                     COMMAND ${GZIP_EXECUTABLE} -9nf ${CMAKE_BINARY_DIR}/doc/${name}
                     DEPENDS ${doc} WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} VERBATIM)
  list(APPEND docs ${CMAKE_BINARY_DIR}/doc/${name}.gz)
endforeach()
add_custom_target(ostrel_docs ALL DEPENDS ${docs})
install(FILES ${CMAKE_BINARY_DIR}/doc/ostrel-sign.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES cmake/debian/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ostrel)

# The launcher finds the rest relative to itself, so that the prefix can move; it still names the
# library's directory, since only /usr/lib/jni is on the JVM's own path.
foreach(dir JNIDIR JAVADIR)
  set(path ${OSTREL_INSTALL_${dir}})
  if(IS_ABSOLUTE ${path})
    set(LAUNCHER_${dir} ${path})
  else()
    file(RELATIVE_PATH rel /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${path})
    set(LAUNCHER_${dir} "$here/${rel}")
  endif()
endforeach()
configure_file(java/ostrel/tool/ostrel-sign.in ${CMAKE_BINARY_DIR}/ostrel-sign @ONLY)
install(PROGRAMS ${CMAKE_BINARY_DIR}/ostrel-sign DESTINATION ${CMAKE_INSTALL_BINDIR})
