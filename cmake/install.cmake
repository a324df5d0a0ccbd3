# What `cmake --install` and cpack put where: on Windows a zip of kelm.exe
# alone; elsewhere the command, and libkelm with kelm.h, kelm.pc and a CMake
# package, as three Debian packages: kelm, libkelm1 and libkelm-dev.
#
# Install components, one per Debian package:
#   command      the kelm binary, its manual, changelog and completion
#   runtime      libkelm.so.1 (libkelm1)
#   development  kelm.h, libkelm.so, libkelm.a, kelm.pc, the CMake package
#                (libkelm-dev)

if(WIN32)
  # The Windows archive: kelm.exe beside the README, the license and the
  # manual as plain text, all at the top of the folder it unpacks to. The
  # binary is linked with the static archive, so it needs no DLL.
  install(TARGETS kelm RUNTIME DESTINATION . COMPONENT command)
  find_program(GROFF groff REQUIRED)
  find_program(COL col REQUIRED)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/kelm.txt
    COMMAND ${GROFF} -man -Tutf8 -P-c ${PROJECT_SOURCE_DIR}/doc/kelm.1 | ${COL} -b > ${PROJECT_BINARY_DIR}/kelm.txt
    DEPENDS ${PROJECT_SOURCE_DIR}/doc/kelm.1
    COMMENT "Rendering the manual as plain text"
    VERBATIM)
  add_custom_target(kelm_docs ALL DEPENDS ${PROJECT_BINARY_DIR}/kelm.txt)
  install(FILES README.md LICENSE ${PROJECT_BINARY_DIR}/kelm.txt DESTINATION . COMPONENT command)
else()
  # The library goes where the system's own do, lib/x86_64-linux-gnu on
  # Debian, so that the packages of two processors install side by side.
  if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE)
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
  endif()
  include(GNUInstallDirs)
  install(TARGETS kelm RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT command)

  # The manual page and the changelog are installed compressed, as Debian and
  # man expect; -n keeps name and time out of the header, so every build of the
  # same text gives the same bytes.
  find_program(GZIP gzip REQUIRED)
  set(compressed_docs)
  foreach(doc doc/kelm.1 packaging/changelog)
    get_filename_component(name ${doc} NAME)
    set(gz ${PROJECT_BINARY_DIR}/${name}.gz)
    add_custom_command(OUTPUT ${gz}
      COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/${doc} > ${gz}
      DEPENDS ${PROJECT_SOURCE_DIR}/${doc}
      COMMENT "Compressing ${doc}"
      VERBATIM)
    list(APPEND compressed_docs ${gz})
  endforeach()
  add_custom_target(kelm_docs ALL DEPENDS ${compressed_docs})
  install(FILES ${PROJECT_BINARY_DIR}/kelm.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT command)
  install(FILES completion/kelm.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME kelm COMPONENT command)
  # Debian wants the copyright and the changelog in every package's own folder.
  foreach(component_package command:kelm runtime:libkelm1 development:libkelm-dev)
    string(REPLACE ":" ";" component_package ${component_package})
    list(GET component_package 0 component)
    list(GET component_package 1 package)
    install(FILES ${PROJECT_BINARY_DIR}/changelog.gz packaging/copyright
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  endforeach()

  # The library. A shared object is not a program: it is installed without
  # the execute bits.
  install(TARGETS kelm_shared
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
                  NAMELINK_COMPONENT development
                  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  install(TARGETS kelm_static ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  install(FILES lib/kelm.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

  # kelm.pc names the prefix it is installed under, which is only known then:
  # `cmake --install --prefix DIR` gives DIR, the Debian packages /usr.
  # Libs.private is what a C program needs beside the static archive: the
  # C++ runtime and threads.
  install(CODE "
    set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
    set(libdir \"${CMAKE_INSTALL_LIBDIR}\")
    set(includedir \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(version \"${PROJECT_VERSION}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/lib/kelm.pc.in\" \"${PROJECT_BINARY_DIR}/kelm.pc\" @ONLY)"
    COMPONENT development)
  install(FILES ${PROJECT_BINARY_DIR}/kelm.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT development)

  # find_package(kelm) gives kelm::kelm, the shared library, and
  # kelm::kelm_static, the archive. The package finds its files from where it
  # lies, so the installed tree may be moved.
  include(CMakePackageConfigHelpers)
  set(KELM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelm)
  configure_package_config_file(cmake/kelmConfig.cmake.in ${PROJECT_BINARY_DIR}/kelmConfig.cmake
    INSTALL_DESTINATION ${KELM_CMAKE_DIR}
    PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
  # Within one major version the ABI stays: a program built for 1.2 runs with 1.3.
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/kelmConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/kelmConfig.cmake ${PROJECT_BINARY_DIR}/kelmConfigVersion.cmake
          DESTINATION ${KELM_CMAKE_DIR} COMPONENT development)
endif()

set(CPACK_PACKAGE_NAME kelm)
set(CPACK_PACKAGE_VENDOR "kelm developers")
set(CPACK_PACKAGE_CONTACT "kelm developers <maintainers@users.noreply.c-seed-fcde7bfd.example>")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "encrypt or decrypt a file with a key file")
  # cpack -G ZIP: kelm-VERSION-windows-x86_64.zip, unpacking to a folder of
  # that name.
  set(CPACK_GENERATOR ZIP)
  string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" kelm_processor)
  set(CPACK_PACKAGE_FILE_NAME kelm-${PROJECT_VERSION}-windows-${kelm_processor})
else()
  # cpack -G DEB makes one package per component. Each description is a
  # synopsis, then lines within 80 columns, as dpkg and lintian want them; a
  # blank line starts a new paragraph. cpack would put one summary before
  # each description, the project's, unless the summary is cpack's own default.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL command runtime development)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(kelm_cipher_note "Its cipher is a byte-wise feedback XOR, not an authenticated cipher.")

  set(CPACK_DEBIAN_COMMAND_PACKAGE_NAME kelm)
  set(CPACK_DEBIAN_COMMAND_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_COMMAND_DESCRIPTION "encrypt or decrypt a file with a key file
kelm encrypts or decrypts one file with a symmetric key kept in a separate
key file. It streams the file through fixed buffers, draws a one-line
progress display, asks before it overwrites, and ends every failure with
one exact message and exit status.

${kelm_cipher_note}")

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkelm1)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  # The shlibs file tells dpkg-shlibdeps which package a program linked with
  # libkelm.so.1 depends on: this version or a later one of the same ABI.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_ldconfig_trigger.cmake)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "kelm's file format and engine as a C library
libkelm encrypts and decrypts kelm's files, whole from descriptors or in
pieces of any size from memory, with the engine of the kelm command.

${kelm_cipher_note}

This package holds the shared library.")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkelm-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "kelm's file format and engine as a C library (development files)
libkelm encrypts and decrypts kelm's files, whole from descriptors or in
pieces of any size from memory, with the engine of the kelm command.

This package holds the header kelm.h, the static archive, kelm.pc for
pkg-config and the CMake package for find_package(kelm).")

  if(CMAKE_CROSSCOMPILING)
    # A cross build is packaged for the compiler's target, named as Debian names it.
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
                    OUTPUT_VARIABLE target_triplet OUTPUT_STRIP_TRAILING_WHITESPACE
                    COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND dpkg-architecture -t${target_triplet} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    # dpkg-shlibdeps finds only the cross compiler's copies of the libraries, which
    # carry the names of the cross packages; the dependencies are those it finds
    # for a native build (tests/install_test.sh compares the packages).
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    set(kelm_cxx_runtime "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
    if(KELM_STATIC_RUNTIME AND NOT KELM_SANITIZERS)
      set(CPACK_DEBIAN_COMMAND_PACKAGE_DEPENDS "libc6 (>= 2.36)")
    else()
      set(CPACK_DEBIAN_COMMAND_PACKAGE_DEPENDS "${kelm_cxx_runtime}")
    endif()
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${kelm_cxx_runtime}")
  endif()
endif()
include(CPack)
