# Install rules. Linux follows Debian's layout, so that a package installed under /usr needs no
# settings: the JNI library in lib/jni (on OpenJDK's default java.library.path there), the jars
# in share/java, the tool ostrel-sign in bin. Windows: the DLL in bin, beside what loads it.
include(GNUInstallDirs)
set(OSTREL_INSTALL_JAVADIR ${CMAKE_INSTALL_DATADIR}/java)
install_jar(ostrel_java DESTINATION ${OSTREL_INSTALL_JAVADIR})

if(WIN32)
  install(TARGETS OstrelSignatureMS_1_0 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  return()
endif()

# Not lib/<multiarch>: the tool's launcher and the README name one directory for every prefix.
set(OSTREL_INSTALL_JNIDIR lib/jni)
# A plug-in, not a library to link against: not executable, as Debian wants shared objects.
# The tool's own library (`tokens`, the list's Token column) goes beside it, on the same path.
install(TARGETS OstrelSignatureMS_1_0 ostrel_tokens LIBRARY DESTINATION ${OSTREL_INSTALL_JNIDIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install_jar(ostrel_tool DESTINATION ${OSTREL_INSTALL_JAVADIR})

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
