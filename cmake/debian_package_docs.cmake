# Runs inside cpack once the installation is staged and before the package is
# built from it (CPACK_PRE_BUILD_SCRIPTS, set in cmake/packaging.cmake). It
# finishes the staged tree as Debian asks and `cmake --install` does not:
#   - the program, already stripped by cpack, also loses the .comment and
#     .note sections, which only name the tools that built it;
#   - the manual page compressed with gzip -9n (best compression, no name and
#     no time stamp inside, so that the package is reproducible), and so is
#     every document directly in /usr/share/doc/<package> larger than 4 KiB
#     (Debian policy 12.3); the examples below it stay as they are, so that
#     they can be run;
#   - the licence as Debian keeps it: /usr/share/doc/<package>/copyright
#     in place of LICENSE, and a changelog.gz.
# New files are 0644 and new directories 0755 whatever the umask. Any failure
# stops cpack.
# Only the Debian package is finished this way; a source archive is left as
# it is.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(staged_prefix "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(file_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(directory_permissions ${file_permissions} OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)

find_program(harlo_gzip gzip REQUIRED)

# Replaces `path` by `path`.gz.
function(compress path)
  execute_process(COMMAND "${harlo_gzip}" -9 -n -f "${path}"
    RESULT_VARIABLE status ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${path} failed: ${status} ${error}")
  endif()
  file(CHMOD "${path}.gz" PERMISSIONS ${file_permissions})
endfunction()

set(program "${staged_prefix}/${CPACK_HARLO_PROGRAM}")
execute_process(
  COMMAND "${CPACK_HARLO_STRIP}" --remove-section=.comment --remove-section=.note "${program}"
  RESULT_VARIABLE status ERROR_VARIABLE error)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "strip ${program} failed: ${status} ${error}")
endif()

set(man_page "${staged_prefix}/${CPACK_HARLO_MAN_PAGE}")
if(NOT EXISTS "${man_page}")
  message(FATAL_ERROR "the manual page was not staged at ${man_page}")
endif()
compress("${man_page}")

set(doc_dir "${staged_prefix}/${CPACK_HARLO_DOC_DIR}")
file(MAKE_DIRECTORY "${doc_dir}")
file(CHMOD "${staged_prefix}/share/doc" "${doc_dir}" PERMISSIONS ${directory_permissions})
file(REMOVE "${doc_dir}/LICENSE")
file(GLOB documents LIST_DIRECTORIES false "${doc_dir}/*")
foreach(document IN LISTS documents)
  file(SIZE "${document}" size)
  if(size GREATER 4096)
    compress("${document}")
  endif()
endforeach()
file(COPY_FILE "${CPACK_HARLO_COPYRIGHT_FILE}" "${doc_dir}/copyright")
file(COPY_FILE "${CPACK_HARLO_CHANGELOG_FILE}" "${doc_dir}/changelog")
file(CHMOD "${doc_dir}/copyright" "${doc_dir}/changelog" PERMISSIONS ${file_permissions})
compress("${doc_dir}/changelog")
