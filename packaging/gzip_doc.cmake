# Compresses one document for a package the way Debian wants it: gzip -9 with
# no name or time stamp in the header, so that the same input gives the same
# package. A manual page gets the project's version in its title line; the
# changelog must already begin with an entry for that version.
#   cmake -DIN=file -DOUT=file.gz -DVERSION=x.y -P gzip_doc.cmake
file(READ ${IN} text)
get_filename_component(name ${IN} NAME)
if(name MATCHES "\\.[1-9]$")
  string(REGEX REPLACE "(\\.TH [^\n]*\"VtrlCfg )[^\"]*\"" "\\1${VERSION}\"" text "${text}")
elseif(name STREQUAL "changelog" AND NOT text MATCHES "^[a-z0-9.+-]+ \\(${VERSION}\\) ")
  message(FATAL_ERROR "${IN}: the latest entry is not for version ${VERSION}; add one")
endif()
file(WRITE ${OUT}.tmp "${text}")
execute_process(COMMAND gzip -9 -n -c ${OUT}.tmp OUTPUT_FILE ${OUT} RESULT_VARIABLE failed)
file(REMOVE ${OUT}.tmp)
if(failed)
  message(FATAL_ERROR "gzip failed on ${IN}")
endif()
