# The product name and version built into the launcher ({PRODUCT} and
# {VERSION} of the directory-spec language, the version resource, the
# manifest). Any text is allowed; this module turns it into each target
# syntax once, so no file receives it unescaped. It also decides where a
# product's programs go, so that another product never replaces dist/.
string(ASCII 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31 127
             control_characters)
foreach(field NAME VERSION)
  set(text "${VORBEL_PRODUCT_${field}}")
  if(text STREQUAL "")
    message(FATAL_ERROR "VORBEL_PRODUCT_${field} is empty")
  endif()
  # Control characters have no place in a version resource and would need
  # escapes that differ between the resource compiler and C.
  if(text MATCHES "[${control_characters}]")
    message(FATAL_ERROR "VORBEL_PRODUCT_${field} holds a control character: '${text}'")
  endif()

  # C wide-string literal: backslash first, then the quote.
  string(REPLACE "\\" "\\\\" c_text "${text}")
  string(REPLACE "\"" "\\\"" VORBEL_C_PRODUCT_${field} "${c_text}")
  # Resource-script string: windres takes C escapes and a doubled quote.
  string(REPLACE "\\" "\\\\" rc_text "${text}")
  string(REPLACE "\"" "\"\"" VORBEL_RC_PRODUCT_${field} "${rc_text}")
  # XML character data and attribute values.
  string(REPLACE "&" "&amp;" xml_text "${text}")
  string(REPLACE "<" "&lt;" xml_text "${xml_text}")
  string(REPLACE ">" "&gt;" xml_text "${xml_text}")
  string(REPLACE "\"" "&quot;" xml_text "${xml_text}")
  string(REPLACE "'" "&apos;" VORBEL_XML_PRODUCT_${field} "${xml_text}")

  # The configured text as it stands, for tests to compare against what the
  # built images report.
  file(WRITE ${CMAKE_BINARY_DIR}/product_${field}.txt "${text}")
endforeach()

# The manifest's assembly identity takes only a narrow set of characters;
# a name outside it gets a fixed identity rather than a mangled one (the
# readable name goes to the manifest's description).
if(VORBEL_PRODUCT_NAME MATCHES "^[A-Za-z0-9][A-Za-z0-9._-]*$")
  set(VORBEL_MANIFEST_NAME "${VORBEL_PRODUCT_NAME}")
else()
  set(VORBEL_MANIFEST_NAME "Vorbel.Onefile.Application")
endif()

# Numeric version for fixed fields: the leading numbers of the version
# string, padded to four ("2.1-beta" gives 2,1,0,0).
string(REGEX MATCHALL "[0-9]+" version_numbers "${VORBEL_PRODUCT_VERSION}")
list(APPEND version_numbers 0 0 0 0)
list(SUBLIST version_numbers 0 4 version_numbers)
string(JOIN "," VORBEL_VERSION_QUAD_COMMAS ${version_numbers})
string(JOIN "." VORBEL_VERSION_QUAD_DOTS ${version_numbers})

# dist/ belongs to the default product; any other goes to a folder of its own.
if(VORBEL_DIST_DIR STREQUAL "")
  if(VORBEL_PRODUCT_NAME STREQUAL "Vorbel App" AND VORBEL_PRODUCT_VERSION STREQUAL "1.0.0")
    set(VORBEL_DIST_DIR ${PROJECT_SOURCE_DIR}/dist)
  else()
    include(${CMAKE_CURRENT_LIST_DIR}/product_folder.cmake)
    vorbel_product_folder(product_folder "${VORBEL_PRODUCT_NAME}" "${VORBEL_PRODUCT_VERSION}")
    set(VORBEL_DIST_DIR ${PROJECT_SOURCE_DIR}/dist/products/${product_folder})
  endif()
endif()
message(STATUS "Product '${VORBEL_PRODUCT_NAME}' ${VORBEL_PRODUCT_VERSION}: programs go to ${VORBEL_DIST_DIR}")
