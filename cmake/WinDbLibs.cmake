# SQLite and libpq for the Windows build: scripts/win-dblibs.sh fetches
# Debian's source packages (sqlite3, postgresql-15) with apt-get source and
# cross-compiles them once into <build>/dblibs, as static libraries (no DLL
# beside the programs). The folder is kept between builds; deleting it
# builds them again.
set(TAGSMITH_DBLIBS ${CMAKE_BINARY_DIR}/dblibs)
set(dblibs_outputs
    ${TAGSMITH_DBLIBS}/lib/libsqlite3.a ${TAGSMITH_DBLIBS}/lib/libpq.a
    ${TAGSMITH_DBLIBS}/lib/libpgcommon_shlib.a ${TAGSMITH_DBLIBS}/lib/libpgport_shlib.a
    ${TAGSMITH_DBLIBS}/include/sqlite3.h ${TAGSMITH_DBLIBS}/include/libpq-fe.h)
add_custom_command(
    OUTPUT ${TAGSMITH_DBLIBS}/stamp ${dblibs_outputs}
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/win-dblibs.sh ${TAGSMITH_WIN_ARCH}-w64-mingw32
            ${TAGSMITH_DBLIBS}
    DEPENDS ${CMAKE_SOURCE_DIR}/scripts/win-dblibs.sh
    COMMENT "SQLite and libpq for ${TAGSMITH_WIN_ARCH} from Debian's source packages"
    USES_TERMINAL VERBATIM)
add_custom_target(tagsmith_dblibs DEPENDS ${TAGSMITH_DBLIBS}/stamp)
# The include folder must exist when the targets are defined.
file(MAKE_DIRECTORY ${TAGSMITH_DBLIBS}/include)

add_library(tagsmith_sqlite3 STATIC IMPORTED GLOBAL)
set_target_properties(tagsmith_sqlite3 PROPERTIES
    IMPORTED_LOCATION ${TAGSMITH_DBLIBS}/lib/libsqlite3.a
    INTERFACE_INCLUDE_DIRECTORIES ${TAGSMITH_DBLIBS}/include)
add_dependencies(tagsmith_sqlite3 tagsmith_dblibs)

# libpq's helpers after it, then the system libraries it calls.
add_library(tagsmith_libpq STATIC IMPORTED GLOBAL)
set_target_properties(tagsmith_libpq PROPERTIES
    IMPORTED_LOCATION ${TAGSMITH_DBLIBS}/lib/libpq.a
    INTERFACE_INCLUDE_DIRECTORIES ${TAGSMITH_DBLIBS}/include
    INTERFACE_LINK_LIBRARIES
    "${TAGSMITH_DBLIBS}/lib/libpgcommon_shlib.a;${TAGSMITH_DBLIBS}/lib/libpgport_shlib.a;ws2_32;secur32;shell32;advapi32")
add_dependencies(tagsmith_libpq tagsmith_dblibs)

# The same target names as the Linux build's.
add_library(SQLite::SQLite3 ALIAS tagsmith_sqlite3)
