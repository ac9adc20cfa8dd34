# packaging/deb.cmake: the Debian package, made by CPack's DEB generator.
#
#   cmake --build build --target package   ->  build/zervgen_1.0_amd64.deb
#
# The package holds the rules without a component and those of the
# component "deb" (installed by nothing else): the Python modules where
# Debian's python3 finds them, the man pages gzip-compressed, the copyright
# file. Its Depends are python3 and what dpkg-shlibdeps (dpkg-dev) finds
# the program links.

# The version is the one the program prints (zervgen --version).
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/src/base/progname.h ZERVGEN_VERSION_LINE
     REGEX "kVersion = \"[0-9.]+\"")
string(REGEX REPLACE ".*kVersion = \"([0-9.]+)\".*" "\\1" ZERVGEN_VERSION "${ZERVGEN_VERSION_LINE}")
if(NOT ZERVGEN_VERSION MATCHES "^[0-9]+(\\.[0-9]+)*$")
  message(FATAL_ERROR "no version found in src/base/progname.h (kVersion)")
endif()

install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/scripts/zervgen_tools
        DESTINATION lib/python3/dist-packages COMPONENT deb EXCLUDE_FROM_ALL
        FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
# Debian's man pages are gzip-compressed, without a name or time stamp in
# the header (-n), so that two builds give the same bytes.
set(ZERVGEN_MAN_GZ "")
foreach(page ${ZERVGEN_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${gz}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
                     COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/${page} > ${gz}
                     DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${page} VERBATIM)
  list(APPEND ZERVGEN_MAN_GZ ${gz})
endforeach()
add_custom_target(zervgen_man_gz ALL DEPENDS ${ZERVGEN_MAN_GZ})
install(FILES ${ZERVGEN_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT deb EXCLUDE_FROM_ALL)
# The older loader names have the loader's page.
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man)
foreach(db postgresql sqlite mariadb)
  file(CREATE_LINK zervgen-load.1.gz ${CMAKE_CURRENT_BINARY_DIR}/man/zervgen-load-${db}.1.gz SYMBOLIC)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/zervgen-load-${db}.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT deb EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zervgen COMPONENT deb EXCLUDE_FROM_ALL)

# A package is made with every codec and with object storage: one built
# without a codec library would install a zervgen that refuses plain
# -parquet or -compress, one without libcurl's header a zervgen that refuses
# s3:// names. Without one, building the target "package" fails in one line
# that names the Debian packages to install;
# -DZERVGEN_PACKAGE_WITHOUT_CODECS=ON makes the package all the same, with
# what the build has.
option(ZERVGEN_PACKAGE_WITHOUT_CODECS "Make the Debian package even when codec libraries are missing" OFF)
set(ZERVGEN_MISSING_CODECS "")
foreach(codec SNAPPY:libsnappy-dev ZSTD:libzstd-dev DEFLATE:libdeflate-dev CURL:libcurl4-openssl-dev)
  string(REPLACE ":" ";" codec ${codec})
  list(GET codec 0 name)
  list(GET codec 1 debian)
  if(NOT ZERVGEN_HAVE_${name})
    string(APPEND ZERVGEN_MISSING_CODECS " ${debian}")
  endif()
endforeach()
set(ZERVGEN_PACKAGE_CHECK ${CMAKE_CURRENT_BINARY_DIR}/packaging/check-codecs.cmake)
if(ZERVGEN_MISSING_CODECS AND NOT ZERVGEN_PACKAGE_WITHOUT_CODECS)
  file(WRITE ${ZERVGEN_PACKAGE_CHECK}
       "message(FATAL_ERROR \" zervgen: the package needs${ZERVGEN_MISSING_CODECS} (apt-get install them, then configure again; -DZERVGEN_PACKAGE_WITHOUT_CODECS=ON makes it without them)\")\n")
else()
  file(WRITE ${ZERVGEN_PACKAGE_CHECK} "")
endif()
# CPack reads this file first, before it installs or packs anything (the
# blank that begins the message keeps CMake from wrapping it).
set(CPACK_PROJECT_CONFIG_FILE ${ZERVGEN_PACKAGE_CHECK})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zervgen)
set(CPACK_PACKAGE_VERSION ${ZERVGEN_VERSION})
set(CPACK_PACKAGE_CONTACT "zervgen maintainers <maintainers@users.noreply.c-seed-0469cb98.example>")
# A Debian package carries its changelog: one entry, this version, dated
# when configured (or at SOURCE_DATE_EPOCH, for a reproducible build).
string(TIMESTAMP ZERVGEN_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog.in
               ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
                   COMMAND gzip -9nc ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog
                           > ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
                   DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog VERBATIM)
add_custom_target(zervgen_changelog_gz ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zervgen COMPONENT deb EXCLUDE_FROM_ALL)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "benchmark database generator")
# One argument, its lines as Debian shows them (no semicolon: CMake would
# take it for a list).
set(CPACK_PACKAGE_DESCRIPTION "zervgen writes the five relations of a benchmark database (hundred,
tenpcnt, tiny, uniques, updates) as text or Parquet files, exactly and
fast, and checks existing files with -verify. zervgen-load loads a run
into PostgreSQL, SQLite or MariaDB and proves the tables. zervgen-slurm
writes a run's parts on a Slurm cluster.")
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};zervgen;Unspecified;/;${CMAKE_BINARY_DIR};zervgen;deb;/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS python3)
# The loader's databases: psql, the mariadb client, and sqlite3 to look at
# a loaded file (the load itself goes through Python's sqlite3), and zstd to
# load text written with -compress zstd (gzip is always there), and libcurl4,
# which zervgen loads when a run names an object (s3://).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "postgresql-client, mariadb-client, sqlite3, zstd, libcurl4")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "slurm-client")
# Byte-compiled modules are made on install and removed before removal,
# as Debian's Python packages do, so that none is left behind.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst ${CMAKE_CURRENT_SOURCE_DIR}/packaging/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
